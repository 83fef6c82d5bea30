#include "ui/GuiWaker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/TextConv.h"
#include "support/Exception.h"

CGuiWaker::CGuiWaker(std::function<void()> fnOnWake, QObject* pParent)
    : QObject(pParent),
      m_fnOnWake(std::move(fnOnWake)),
      m_fdWake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_fdWake < 0) {
        throw new CException(L"The GUI thread cannot be woken: " +
                             win::AnsiToWide(std::strerror(errno)));
    }
    m_pNotifier = new QSocketNotifier(m_fdWake, QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CGuiWaker::OnActivated);
}

CGuiWaker::~CGuiWaker() {
    delete m_pNotifier;
    close(m_fdWake);
}

void CGuiWaker::Wake() {
    const std::uint64_t nOne = 1;
    // Cannot fail short of a counter at its maximum, which the reads below never allow.
    [[maybe_unused]] const ssize_t n = write(m_fdWake, &nOne, sizeof(nOne));
}

void CGuiWaker::OnActivated() {
    std::uint64_t nCount = 0;
    [[maybe_unused]] const ssize_t n = read(m_fdWake, &nCount, sizeof(nCount));
    m_fnOnWake();
}
