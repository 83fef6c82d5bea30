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
    // Receives take at most nDataSize - 1 bytes; with nMaxDataSize larger, a stream that
    // keeps filling them (a bulk transfer) is received in pieces of up to nMaxDataSize - 1
    // from then on. The buffer has the larger size from the start, but its pages beyond
    // what receives wrote stay untouched, so a session that never grows costs no more.
    CSocketTelnet(BOOL bThrow, int nDataSize, int nMaxDataSize = 0);
    CSocketTelnet(const CSocketBlocking& src, BOOL bThrow, int nDataSize, int nMaxDataSize = 0);
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

    // Receive thread. Receives at most GetDataSize() - 1 bytes into the data buffer and
    // terminates them with a NUL byte; returns what Receive returned.
    int ReceiveData();

    const char* GetData() const { return m_pData.get(); }
    // Bytes of the last block (the buffer may hold NUL bytes inside it).
    int GetDataLength() const { return m_nDataLength; }
    int GetDataSize() const { return m_nDataSize; }

    // Receives that fill the buffer in a row before it takes larger ones.
    static constexpr int kFullBeforeGrowing = 4;

protected:
    std::wstring m_strPartialLine;
    int m_nDataSize;           // receive thread: the size receives use now
    const int m_nMaxDataSize;  // the buffer's size
    std::unique_ptr<char[]> m_pData;
    int m_nDataLength = 0;
    int m_nFullInRow = 0;  // receive thread
};
