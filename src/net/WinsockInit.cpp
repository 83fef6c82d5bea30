#include "net/WinsockInit.h"

#include "support/Exception.h"
#include "support/SystemErrorText.h"
#include "support/Trace.h"

CWinsockInit g_WinsockInit;

CWinsockInit::CWinsockInit() : m_nStatus(WSAEFAULT) {}

CWinsockInit::~CWinsockInit() {
    try {
        Cleanup();
    } catch (CException* e) {
        Trace(L"%s", e->GetText());
        delete e;
    }
}

bool CWinsockInit::Startup() {
    std::lock_guard lock(m_mutex);
    if (m_nStatus != 0) {
        m_nStatus = win::WSAStartup(0x0002, &m_data);
        if (m_nStatus != 0) {
            throw CException::Format(L"WSAStartup error = 0x%x.", m_nStatus);
        }
    }
    return m_nStatus == 0;
}

void CWinsockInit::Cleanup() {
    std::lock_guard lock(m_mutex);
    if (m_nStatus != 0) {
        return;
    }
    if (win::WSACleanup() != 0) {
        const int nError = win::WSAGetLastError();
        throw CException::Format(L"WSAInit error = %d. %s", nError, GetLastErrorText());
    }
    m_nStatus = WSAEFAULT;
}

int CWinsockInit::GetStatus() const {
    std::lock_guard lock(m_mutex);
    return m_nStatus;
}
