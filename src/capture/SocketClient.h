// The session's connection to the remote server; relays what the server sends back to the
// local client and writes it to the traffic log.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "capture/BodyDecoder.h"
#include "capture/RelayState.h"
#include "capture/ResponseScan.h"
#include "capture/ResponseWriter.h"
#include "capture/SessionLink.h"
#include "net/SocketTelnet.h"

class CSocketAccept;
class CSessionConditions;

// The host to connect to for the URL box's text without its scheme: an IPv6 address in
// brackets ("[::1]", "[::1]:8080/path") gives the bracketed address; any other text is
// passed as it is.
std::wstring ConnectTarget(const std::wstring& strHost);

// Any thread; applies to sessions that connect afterwards. Whether a plain session's
// loop relays both directions until a send cannot be taken at once (the default), or every
// server connection gets a thread of its own at once (tests of that relay's own paths).
void SetRelayOnSessionThread(bool bOn);

class CSocketClient : public CSocketTelnet, private IResponseBody {
public:
    // One receive takes at most this much less one byte: what a session holds while it
    // relays stays small (its buffers and the log text of a block), however fast it runs.
    // A bulk stream grows its receives to kMaxDataSize (see CSocketTelnet).
    static constexpr int kDataSize = 65536;
    static constexpr int kMaxDataSize = 262144;

    // `pAccept` null: a client of its own (tests), whose log markers carry no number.
    // `bCounted`: whether it counts among the live client connections. The vessel's client
    // does not: it never connects, and its end when listening stops must not look like the
    // end of the last connection (which would close the main window).
    explicit CSocketClient(CSocketAccept* pAccept, bool bCounted = true);
    // GUI thread (or the accept thread for a vessel's client).
    ~CSocketClient() override;

    // Session thread. Connects to the host and port of the connection bar; false after a
    // failure (its text in GetConnectError) or a stop (no text). Releases its socket when
    // it raises. A plain connection of a session (no TLS, no network conditions) is then
    // relayed by the session's own loop (IsOnSessionThread); any other starts this
    // object's loop on a thread of its own.
    bool ConnectToServer();
    // Session thread (and this object's thread once started). Whether the session's loop
    // receives from the server for this object: until a send toward the local client, or
    // toward the server, cannot be taken at once; then this object's own loop takes over.
    bool IsOnSessionThread() const { return m_bOnSessionThread; }

    // What one round of the session's loop did with the server's side.
    enum class SharedRound { Quiet, Relayed, Closed, Ended, HandedOver };
    // Session thread, from its loop, while IsOnSessionThread: the network events recorded
    // for the server's socket `hServer` on the loop's event `ev`, handled as this object's
    // own loop would. Closed: the server closed in order and the local client was told;
    // Ended: the session was aborted (a reset, a failure); HandedOver: this object's own
    // loop now receives from the server (and sees anything left, the close included).
    SharedRound OnSharedEvents(SOCKET hServer, WSAEVENT ev);
    // Session thread, when its loop ends without handing over: the server's side ends as
    // this object's own loop would end it (an orderly close unless a reset was asked for).
    // Never raises.
    void EndShared();
    // Session thread, while IsOnSessionThread: this object's own loop takes over the server's
    // side, and first sends `carry` (the rest of a block the local client did not take at
    // once) to the local client. A thread that cannot be started aborts the session.
    void StartOwnLoop(std::string_view carry);
    // Session thread: why the last ConnectToServer failed ("Connect to %s host %d port
    // failed!" and the system's reason on a line of its own); empty after a stop.
    const std::wstring& GetConnectError() const { return m_strConnectError; }

    // Client thread: sends the block to the local client, then logs it (module lock taken
    // for the log only). A failed send ends the session.
    void ForwardToClient(int nBytes, const char* pBytes);

    std::wstring GetHost() const { return m_strHost; }
    // Session thread: the URL box's text as it was when the session connected.
    std::wstring GetUrlText() const { return m_strUrl; }
    // Session thread, module lock held. A request went to the server: its answer comes after
    // those of the requests before it (HEAD: no body; CONNECT: perhaps a tunnel).
    void QueueRequest(bool bHead, bool bConnect);
    // Session thread, module lock held. The answer to the latest request is saved under
    // `strPath`, which lies below the data folder `strDataFolder`; of several requests in
    // one block, the last name wins.
    void SetResponseFile(const std::wstring& strPath, const std::wstring& strDataFolder);
    // Session thread, module lock held. A new block from the local client begins.
    void BeginRequestBlock() { m_scan.BeginRequestBlock(); }
    // Session thread, module lock held. No answer to the requests sent so far is saved.
    void ResetResponse();
    // Client thread, module lock taken here: one block from the server to the response
    // capture, once requests are followed.
    void CaptureBlock(std::string_view block);

    // Client thread. The server closed: in order, or with an error (a reset), which ends
    // the session abortively.
    void OnClose(int nErrorCode) override;
    // Client thread: the rest of a block handed over from the session's thread goes first.
    void RunLoop(WSAEVENT ev) override;
    // Client thread. The relay loop failed (a receive error, no event object): the session
    // ends abortively, so that the local client neither waits for an answer that will not
    // come nor takes a cut one for a whole one.
    void OnLoopError(const std::wstring& strError) override;
    // Client thread, after Proc.
    void OnThreadEnd() override;
    // Client thread. Server-to-client relay of one block: received and converted for the
    // log, then logged and captured under the module lock, then sent to the local client
    // without it.
    void OnReceive(int nErrorCode) override;
    std::wstring ReceiveString() override;
    // The response header scan of one line: the empty line after the headers starts the
    // body, a "content-type: " of text switches to text mode. Returns false.
    bool OnLine(const std::wstring& strLine) override;

    // Client thread. Ends the session at once after a failure (see
    // CSocketAccept::AbortSession). Once per session.
    void AbortSession(const std::wstring& strReason);

    bool IsDestroyed() const { return m_bDestroyed; }
    const std::shared_ptr<CSessionLink>& GetLink() const { return m_pLink; }

protected:
    // Client thread, module lock held (or the destructor, once the thread has ended): the
    // body of the captured response, queued for the response writer. A file that cannot be
    // created or written is reported once; the rest of that response is not saved.
    void OnBodyStart(const std::wstring& strFile) override;
    void OnBodyText(std::u16string_view text) override;
    void OnBodyBinary(std::string_view bytes) override;
    void OnBodyRestart() override;
    void OnBodyNote(const std::wstring& strText) override;
    void OnBodyEnd() override;
    // Ends the response being captured (the connection is over), writes what is queued and
    // closes the response file; never raises.
    void CloseResponseFile();

    std::atomic<bool> m_bDestroyed{false};
    const bool m_bCounted;
    // The capture (module lock): the file and the name of the response being saved, the
    // scan that follows the answers, and the decoder of the saved bodies.
    CResponseWriter m_writer;
    std::wstring m_strResponseFile;
    CResponseScan m_scan;
    CBodyDecoder m_decoder{*this};
    // Module lock: the data folders that the requests' files were named below (the latest
    // last), so that each file is opened below its own.
    std::vector<std::wstring> m_dataFolders;
    std::wstring m_strHost;
    std::wstring m_strUrl;
    std::wstring m_strConnectError;  // session thread
    std::shared_ptr<CRelayState> m_pRelay;
    std::shared_ptr<CSessionLink> m_pLink;
    // Client thread: the marker line.
    std::string m_strMarker;
    // Whether a session's loop may relay for this object (not a client of its own).
    const bool m_bMayShare;
    // Written by the session thread before this object's thread starts: see
    // IsOnSessionThread, and the bytes still owed to the local client at the hand-over.
    bool m_bOnSessionThread = false;
    std::string m_carry;

private:
    // The receiving thread: the server's close goes to the log and, in order, on to the
    // local client; false when the session was aborted instead (a reset, a failure).
    bool PassServerCloseOn(int nErrorCode);
    // Module lock held: the marker line and the block's bytes.
    void LogServerBlock(std::string_view block);
    // Client thread, module lock not held: sends the block to the local client; a failure
    // ends the session.
    void SendToLocal(std::string_view bytes);
    // The same through the session's network conditions.
    void SendToLocalUnder(CSessionConditions& conditions, SOCKET hLocal, std::string_view bytes);
};
