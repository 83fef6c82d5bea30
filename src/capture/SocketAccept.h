// One capture session: the accepted connection of a local client, relayed to the remote
// server through the session's CSocketClient, with every block written to the traffic log.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "capture/RelayState.h"
#include "capture/RequestRewriter.h"
#include "capture/SessionLink.h"
#include "net/SocketTelnet.h"
#include "settings/RegKeyTalvex.h"

class CArrayListen;
class CSessionConditions;
class CSocketClient;

class CSocketAccept : public CSocketTelnet, private IRequestHandler {
public:
    // One receive takes at most this much less one byte: what a session holds while it
    // relays stays small (its buffers and the log text of a block), however fast it runs.
    // A bulk stream grows its receives to kMaxDataSize (see CSocketTelnet).
    static constexpr int kDataSize = 65536;
    static constexpr int kMaxDataSize = 262144;
    static constexpr int kVesselDataSize = 512;

    // The vessel the accept thread accepts into: no registry, no thread.
    CSocketAccept();
    // Accept thread, inside CArrayListen::Add with its lock held. Takes over the vessel's
    // socket, takes its number from the registry and, with `bStartThread`, starts the
    // session's thread (else the accept thread runs it: RunThreadHere).
    CSocketAccept(CSocketAccept& vessel, CArrayListen& arrayListen, bool bStartThread = true);
    // GUI thread (the vessel: its accept thread).
    ~CSocketAccept() override;

    // Session thread: start line, connection to the server, the relay loop, stop line.
    void Proc() override;
    // Session thread. The local client closed: in order, or with an error (a reset), which
    // ends the session abortively.
    void OnClose(int nErrorCode) override;
    // Session thread. The relay loop: both directions on this thread while the client's
    // side needs no thread of its own (CSocketClient::IsOnSessionThread), the local
    // client's alone once it has one.
    void RunLoop(WSAEVENT ev) override;
    // Records the socket error and returns its code (never raises).
    int SetError(const wchar_t* pszContext, BOOL bThrow) override;
    using CSocketBlocking::SetError;
    // Session thread. The relay loop failed: the session ends abortively.
    void OnLoopError(const std::wstring& strError) override;
    // Session thread, after Proc: posts the session for deletion on the GUI thread.
    void OnThreadEnd() override;
    // Session thread. Client-to-server relay of one block, logged before it is sent, so that
    // the log never shows an answer before its request. Plain relaying takes the module
    // lock only for the log's append (received and converted before, sent after); HTTP
    // mode receives and rewrites under it too. The send waits outside it, so that a slow
    // server holds up only this session.
    void OnReceive(int nErrorCode) override;
    // Session thread (plain mode): receive, forward, log; returns the block as text.
    std::wstring ReceiveString() override;
    // HTTP mode, module lock held: one line from the local client as text, rewritten (or
    // not) onto the request; a GET or POST line names the file of the response. Returns
    // false.
    bool OnLine(const std::wstring& strLine) override;

    // Session thread, module lock held: the marker line and the block's text.
    void LogClientBlock(std::wstring_view text);
    // The same for the bytes of a block, which the log shows whole (and makes into text
    // itself).
    void LogClientBlockBytes(std::string_view block);

    // Any thread; never waits (the GUI thread calls it for every session when listening
    // stops). Asks the client's loop and then the session's own to end, at once when they
    // run, or as soon as they start. With `bReset` (a stop by the user) both peers see a
    // reset; without it (a session whose server has finished) the connections close in
    // order, so that what is still on its way to a slow reader arrives.
    void StopSession(bool bReset = true);

    // Session thread. Ends the session at once after a failure: the reason goes to the log
    // under the session's number and to the status line, and both connections are reset,
    // so that neither peer takes a cut stream for a whole one. Once per session.
    void AbortSession(const std::wstring& strReason);

    long GetSession() const { return m_nSession; }
    // The session thread, or with the hand-over lock of the link held.
    CSocketClient* GetClient() const { return m_pClient; }
    // Hand-over lock held: the client lets go of its session.
    void ForgetClient() { m_pClient = nullptr; }
    const std::shared_ptr<CRelayState>& GetRelayState() const { return m_pRelay; }
    const std::shared_ptr<CSessionLink>& GetLink() const { return m_pLink; }

protected:
    // HTTP mode, module lock held: the URL box's text as typed when the session connected
    // (read once then, so that no block waits for the GUI thread), and the response file
    // named by a request target.
    std::wstring GetUrl() override;
    // HTTP mode, module lock held: the port of the server the client is connected to.
    int GetRemotePort() override;
    void OnHeaderLineTooLong(std::size_t nBytes) override;
    // HTTP mode, module lock held: every request line queues its answer on the client.
    void OnRequestLine(std::string_view method) override;
    void OnRequestTarget(const std::wstring& strTarget) override;

    long m_nSession;
    CArrayListen* m_pArrayListen;
    CRegKeyTalvex m_regKey;
    std::string m_strRequest;
    std::atomic<CSocketClient*> m_pClient;
    bool m_bReplaceHost;
    std::shared_ptr<CRelayState> m_pRelay;
    std::shared_ptr<CSessionLink> m_pLink;
    // HTTP mode (session thread, module lock): where the client's stream is.
    CRequestRewriter m_request;
    // Session thread: the marker line.
    std::string m_strMarker;

private:
    // Plain mode, module lock not held: receive one block; the bytes to send.
    std::string_view ReceivePlainBlock();
    // Plain mode, module lock taken here: the block to the log (the HTTP state learns that
    // this block is not followed).
    void LogPlainBlock(std::string_view block);
    // HTTP mode, module lock held: the same with the requests rewritten.
    std::string_view ReceiveHttpBlock(bool bSaveResponse);
    // Session thread, module lock not held: sends the bytes to the server; a failure ends
    // the session.
    void SendToServer(std::string_view bytes);
    // The same through the session's network conditions.
    void SendToServerUnder(CSessionConditions& conditions, SOCKET hServer, std::string_view bytes);
    // Session thread, before connecting: whether the conditions pick this connection for a
    // reset of the local client (logged; the local socket then resets as it closes).
    bool ResetByConditions();
    // Session thread, module lock not held: the start of a header line held back for
    // rewriting goes to the server as it is (the local client ends its stream).
    void SendHeldRequest();
    void LogClientMarker();
    // Session thread: both directions of the session, until the session is over (true) or
    // the client's own loop takes over the server's side (false), after which the local
    // client's side goes on alone in the base loop.
    bool RelayBothWays(CSocketClient& client, WSAEVENT ev);
    // Session thread. The local client's close goes to the log and, in order, on to the
    // server; false when the session was aborted instead (a reset, a failure).
    bool PassLocalCloseOn(int nErrorCode);
    // Session thread, after the local client closed in order while the client's own loop
    // relays the server's side: waits until that side is done too (or silent), then ends.
    void AwaitServerSide(int nErrorCode);
    void WriteSessionLine(UINT nId);
};

// The main window as the owner of message boxes.
HWND MainWindowHandle();

// GUI thread. Carries out UM_DELETE_SESSION or UM_DELETE_CLIENT (whose payload is the
// object); an exception from deleting a client is dropped. False for any other message.
bool DeleteRelayObject(UINT nMsg, WPARAM wParam);
