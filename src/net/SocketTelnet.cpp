#include "net/SocketTelnet.h"

#include <algorithm>

#include "platform/DebugOutput.h"
#include "platform/TextConv.h"

CSocketTelnet::CSocketTelnet(BOOL bThrow, int nDataSize)
    : CSocketBlocking(bThrow),
      m_nDataSize(std::max(nDataSize, 1)),
      m_pData(new char[m_nDataSize]) {
    m_pData[0] = '\0';  // not cleared further: the pages of a large buffer stay untouched
}

CSocketTelnet::CSocketTelnet(const CSocketBlocking& src, BOOL bThrow, int nDataSize)
    : CSocketBlocking(src, bThrow),
      m_nDataSize(std::max(nDataSize, 1)),
      m_pData(new char[m_nDataSize]) {
    m_pData[0] = '\0';  // not cleared further: the pages of a large buffer stay untouched
}

CSocketTelnet::~CSocketTelnet() = default;

void CSocketTelnet::OnClose(int nErrorCode) {
    CSocketBlocking::OnClose(nErrorCode);
    m_strPartialLine.clear();
}

int CSocketTelnet::ReceiveData() {
    const int n = Receive(m_pData.get(), m_nDataSize - 1, 10, 0);
    m_nDataLength = std::max(n, 0);
    m_pData[m_nDataLength] = '\0';
    return n;
}

std::wstring CSocketTelnet::ReceiveString() {
    ReceiveData();
    return win::AnsiToWide(std::string_view(m_pData.get()));
}

void CSocketTelnet::TraceW(std::wstring_view text) {
    win::OutputDebugStringW(text);
}

void CSocketTelnet::TraceA(std::string_view text) {
    win::OutputDebugStringA(text);
}

bool CSocketTelnet::OnStatusLine(int, const std::wstring&, const std::wstring&) {
    return false;
}

bool CSocketTelnet::OnLine(const std::wstring&) {
    return false;
}

void CSocketTelnet::OnNoSocket() {}
