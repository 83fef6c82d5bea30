// The session's connection to the remote server; relays what the server sends back to the
// local client and writes it to the traffic log.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "capture/RelayState.h"
#include "capture/ResponseFile.h"
#include "capture/ResponseScan.h"
#include "net/SocketTelnet.h"

class CSocketAccept;

class CSocketClient : public CSocketTelnet, private IResponseBody {
public:
    static constexpr int kDataSize = 1048576;

    // `bCounted`: whether it counts among the live client connections. The vessel's client
    // does not: it never connects, and its end when listening stops must not look like the
    // end of the last connection (which would close the main window).
    explicit CSocketClient(CSocketAccept* pAccept, bool bCounted = true);
    // GUI thread (or the accept thread for a vessel's client).
    ~CSocketClient() override;

    // Session thread. Connects to the host and port of the connection bar; false after a
    // failure, which has been shown in a message box.
    bool ConnectToServer();

    // Client thread, module lock held: sends the block to the local client and logs it.
    void ForwardToClient(int nBytes, const char* pBytes);

    std::wstring GetHost() const { return m_strHost; }
    // Module lock held. The next response from the server is saved under `strPath`.
    void SetResponseFile(const std::wstring& strPath);
    // Module lock held. No response is saved until a new name is set.
    void ResetResponse();
    // Module lock held (taken here): one block from the server to the response capture,
    // while a name is set.
    void CaptureBlock(std::string_view block);

    // Client thread. The server closed.
    void OnClose(int nErrorCode) override;
    // Client thread, after Proc.
    void OnThreadEnd() override;
    // Client thread. Server-to-client relay of one block, under the module lock.
    void OnReceive(int nErrorCode) override;
    std::wstring ReceiveString() override;
    // The response header scan of one line: the empty line after the headers starts the
    // body, a "content-type: " of text switches to text mode. Returns false.
    bool OnLine(const std::wstring& strLine) override;

    // Module lock held: whether the receive loop still runs, and the session's letting go.
    bool IsLoopRunning() const { return m_bLoopRunning; }
    bool IsDestroyed() const { return m_bDestroyed; }
    void Detach() { m_pAccept = nullptr; }
    CSocketAccept* GetAccept() const { return m_pAccept; }

protected:
    // The body of the captured response (module lock held).
    void OnBodyStart() override;
    void OnBodyText(std::string_view line) override;
    void OnBodyBinary(std::string_view bytes) override;
    // Writes what the scan still holds and closes the response file; never raises.
    void CloseResponseFile();

    std::atomic<CSocketAccept*> m_pAccept;
    std::atomic<bool> m_bDestroyed{false};
    const bool m_bCounted;
    // The capture (module lock): the file, its name (empty: nothing is captured) and the
    // scan with the body state and the text mode.
    CResponseFile m_responseFile;
    std::wstring m_strResponseFile;
    CResponseScan m_scan;
    std::wstring m_strHost;
    bool m_bLoopRunning = false;  // module lock
    std::shared_ptr<CRelayState> m_pRelay;
};
