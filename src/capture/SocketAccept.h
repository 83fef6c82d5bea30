// One capture session: the accepted connection of a local client, relayed to the remote
// server through the session's CSocketClient, with every block written to the traffic log.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "capture/RelayState.h"
#include "capture/RequestRewriter.h"
#include "net/SocketTelnet.h"
#include "settings/RegKeyTalvex.h"

class CArrayListen;
class CSocketClient;

class CSocketAccept : public CSocketTelnet, private IRequestHandler {
public:
    static constexpr int kDataSize = 1048576;
    static constexpr int kVesselDataSize = 512;

    // The vessel the accept thread accepts into: no registry, no thread.
    CSocketAccept();
    // Accept thread, inside CArrayListen::Add with its lock held. Takes over the vessel's
    // socket, takes its number from the registry and starts the session's thread.
    CSocketAccept(CSocketAccept& vessel, CArrayListen& arrayListen);
    // GUI thread (the vessel: its accept thread).
    ~CSocketAccept() override;

    // Session thread: start line, connection to the server, the relay loop, stop line.
    void Proc() override;
    // Session thread. The local client closed.
    void OnClose(int nErrorCode) override;
    // Records the socket error and returns its code: a failed send to the local client does
    // not end the relay.
    int SetError(const wchar_t* pszContext, BOOL bThrow) override;
    using CSocketBlocking::SetError;
    // Session thread, after Proc: posts the session for deletion on the GUI thread.
    void OnThreadEnd() override;
    // Session thread. Client-to-server relay of one block, under the module lock.
    void OnReceive(int nErrorCode) override;
    // Session thread (plain mode): receive, forward, log; returns the block as text.
    std::wstring ReceiveString() override;
    // HTTP mode, module lock held: one line from the local client as text, rewritten (or
    // not) onto the request; a GET or POST line names the file of the response. Returns
    // false.
    bool OnLine(const std::wstring& strLine) override;

    // Session thread, module lock held: the marker line and the block's text.
    void LogClientBlock(std::wstring_view text);
    // The same for the bytes of a block, which the log shows whole.
    void LogClientBlockBytes(std::string_view block);

    // Any thread. Stops the client's loop if it runs, then the session's own.
    void StopSession();

    long GetSession() const { return m_nSession; }
    // Module lock held (or the session thread).
    CSocketClient* GetClient() const { return m_pClient; }
    // Module lock held: the client lets go of its session.
    void ForgetClient() { m_pClient = nullptr; }
    const std::shared_ptr<CRelayState>& GetRelayState() const { return m_pRelay; }

protected:
    // HTTP mode, module lock held: the URL box's text for a rewritten header line, and the
    // response file named by a request target.
    std::wstring GetUrl() override;
    void OnRequestTarget(const std::wstring& strTarget) override;

    long m_nSession;
    CArrayListen* m_pArrayListen;
    CRegKeyTalvex m_regKey;
    std::string m_strRequest;
    std::atomic<CSocketClient*> m_pClient;
    bool m_bReplaceHost;
    std::shared_ptr<CRelayState> m_pRelay;
    // HTTP mode (session thread, module lock): where the client's stream is.
    CRequestRewriter m_request;

private:
    // Plain mode, module lock held: receive one block, send it to the server, log it.
    void RelayBlock();
    // HTTP mode, module lock held: the same with the requests rewritten.
    void ReceiveHttpBlock(bool bSaveResponse);
    void LogClientMarker();
    void WriteSessionLine(UINT nId);
};

// The main window as the owner of message boxes.
HWND MainWindowHandle();
