// The session's connection to the remote server; relays what the server sends back to the
// local client and writes it to the traffic log.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "capture/RelayState.h"
#include "net/SocketTelnet.h"
#include "support/File.h"

class CSocketAccept;

class CSocketClient : public CSocketTelnet {
public:
    static constexpr int kDataSize = 1048576;

    explicit CSocketClient(CSocketAccept* pAccept);
    // GUI thread (or the accept thread for a vessel's client).
    ~CSocketClient() override;

    // Session thread. Connects to the host and port of the connection bar; false after a
    // failure, which has been shown in a message box.
    bool ConnectToServer();

    // Client thread, module lock held: sends the block to the local client and logs it.
    void ForwardToClient(int nBytes, const char* pBytes);

    std::wstring GetHost() const { return m_strHost; }
    void SetResponseFile(const std::wstring& strPath);
    void ResetResponse();

    // Client thread. The server closed.
    void OnClose(int nErrorCode) override;
    // Client thread, after Proc.
    void OnThreadEnd() override;
    // Client thread. Server-to-client relay of one block, under the module lock.
    void OnReceive(int nErrorCode) override;
    std::wstring ReceiveString() override;
    bool OnLine(const std::wstring& strLine) override;

    // Module lock held: whether the receive loop still runs, and the session's letting go.
    bool IsLoopRunning() const { return m_bLoopRunning; }
    bool IsDestroyed() const { return m_bDestroyed; }
    void Detach() { m_pAccept = nullptr; }
    CSocketAccept* GetAccept() const { return m_pAccept; }

protected:
    std::atomic<CSocketAccept*> m_pAccept;
    std::atomic<bool> m_bDestroyed{false};
    CFile m_responseFile;
    std::wstring m_strResponseFile;
    bool m_bBodyStarted = false;
    bool m_bNewResponse = true;
    std::wstring m_strHost;
    int m_nTextMode = 0;
    bool m_bLoopRunning = false;  // module lock
    std::shared_ptr<CRelayState> m_pRelay;
};
