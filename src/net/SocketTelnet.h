// The line-oriented socket: what both ends of a capture session share. A data buffer of a
// size the derived class chooses, a receive into it that yields text, debugger traces and
// callbacks for line-based text protocols.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "net/SocketBlocking.h"

class CSocketTelnet : public CSocketBlocking {
public:
    CSocketTelnet(BOOL bThrow, int nDataSize);
    CSocketTelnet(const CSocketBlocking& src, BOOL bThrow, int nDataSize);
    ~CSocketTelnet() override;

    // Receive thread. The base close handling, then the partial line is dropped.
    void OnClose(int nErrorCode) override;

    // Receive thread. ReceiveData, then the block up to its first NUL byte as text.
    virtual std::wstring ReceiveString();
    // Any thread. The text to the debugger output, unchanged.
    virtual void TraceW(std::wstring_view text);
    virtual void TraceA(std::string_view text);
    virtual bool OnStatusLine(int nStatus, const std::wstring& strLine,
                              const std::wstring& strStatusText);
    virtual bool OnLine(const std::wstring& strLine);
    virtual void OnNoSocket();

    // Receive thread. Receives at most size - 1 bytes into the data buffer and terminates
    // them with a NUL byte; returns what Receive returned.
    int ReceiveData();

    const char* GetData() const { return m_pData.get(); }
    // Bytes of the last block (the buffer may hold NUL bytes inside it).
    int GetDataLength() const { return m_nDataLength; }
    int GetDataSize() const { return m_nDataSize; }

protected:
    std::wstring m_strPartialLine;
    const int m_nDataSize;
    std::unique_ptr<char[]> m_pData;
    int m_nDataLength = 0;
};
