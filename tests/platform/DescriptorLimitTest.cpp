// Running out of descriptors for real (a limit set in a forked child): every step that needs
// one says so with the code for too many open files or sockets, gives back what it took,
// and works again once descriptors are free. Also the raise of the limit at start.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "RegistryTestSupport.h"
#include "platform/OpenFileLimit.h"
#include "platform/WinError.h"
#include "platform/Winsock.h"
#include "settings/RegKeyTalvex.h"
#include "support/Exception.h"

namespace {

int OpenDescriptors() {
    int n = 0;
    if (DIR* pDir = ::opendir("/proc/self/fd")) {
        while (const dirent* p = ::readdir(pDir)) {
            n += p->d_name[0] != '.';
        }
        ::closedir(pDir);
    }
    return n - 1;  // the listing's own
}

// The highest descriptor open now, plus one: a soft limit of this leaves none free.
int NextDescriptor() {
    const int fd = ::dup(0);
    ::close(fd);
    return fd;
}

// Runs `check` in a forked child, which reports a failure as a line on the standard error
// and with a non-zero exit code. Returns what the child wrote and whether it passed.
bool InChild(const std::function<std::string()>& check, std::string& strFailure) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        strFailure = "no pipe";
        return false;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        const std::string strResult = check();
        if (!strResult.empty()) {
            (void)!::write(pipeFds[1], strResult.data(), strResult.size());
        }
        ::_exit(strResult.empty() ? 0 : 1);
    }
    ::close(pipeFds[1]);
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(pipeFds[0], buffer, sizeof(buffer))) > 0) {
        strFailure.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int nStatus = 0;
    ::waitpid(pid, &nStatus, 0);
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

// Sets the soft limit so that no descriptor is free; returns the old limit.
rlimit Exhaust() {
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(NextDescriptor());
    ::setrlimit(RLIMIT_NOFILE, &tight);
    return old;
}

TEST(DescriptorLimitTest, SocketsAndEventsWithoutDescriptorsTellTooManyOpenSockets) {
    std::string strFailure;
    EXPECT_TRUE(InChild(
        []() -> std::string {
            win::WSADATA data;
            win::WSAStartup(0x0002, &data);
            const win::SOCKET sKeep = win::socket(AF_INET, SOCK_STREAM, 0);
            // An event made and given back once first: a sanitized build checks each
            // polymorphic type once, through a pipe of its own, which it could not open later.
            win::WSACloseEvent(win::WSACreateEvent());
            const int nBefore = OpenDescriptors();
            const rlimit old = Exhaust();
            std::string strError;
            if (win::socket(AF_INET, SOCK_STREAM, 0) != win::INVALID_SOCKET ||
                win::WSAGetLastError() != WSAEMFILE) {
                strError += "socket: not 10024; ";
            }
            if (win::WSACreateEvent() != win::WSA_INVALID_EVENT ||
                win::WSAGetLastError() != WSAEMFILE) {
                strError += "event: not 10024; ";
            }
            ::setrlimit(RLIMIT_NOFILE, &old);
            if (OpenDescriptors() != nBefore) {
                strError += "descriptors left: " + std::to_string(OpenDescriptors() - nBefore);
            }
            const win::SOCKET s = win::socket(AF_INET, SOCK_STREAM, 0);
            if (s == win::INVALID_SOCKET) {
                strError += "no socket once descriptors are free; ";
            }
            win::closesocket(s);
            win::closesocket(sKeep);
            return strError;
        },
        strFailure))
        << strFailure;
}

TEST(DescriptorLimitTest, TheSettingsStoreWithoutDescriptorsTellsTooManyOpenFiles) {
    CTempRegistry registry;
    CRegKeyTalvex().SetSaveResponse(false);  // the store exists
    std::string strFailure;
    EXPECT_TRUE(InChild(
        []() -> std::string {
            win::RegResetStoreConnections(false);  // its connections are closed: none is free
            const int nBefore = OpenDescriptors();
            const rlimit old = Exhaust();
            std::string strError;
            CException* pCaught = nullptr;
            try {
                CRegKeyTalvex().SetSaveResponse(true);
                strError += "a write without descriptors did not fail; ";
            } catch (CException* e) {
                pCaught = e;
            }
            ::setrlimit(RLIMIT_NOFILE, &old);
            // Read only now: a sanitized build checks the call through a pipe of its own.
            std::wstring strText;
            if (pCaught != nullptr) {
                strText = pCaught->GetText();
                delete pCaught;
            }
            if (strText.find(L"FATAL ERROR: ") != 0 ||
                strText.find(L"Too many open files") == std::wstring::npos ||
                strText.find(L"memory") != std::wstring::npos) {
                strError += "text: " + std::string(strText.begin(), strText.end()) + "; ";
            }
            if (OpenDescriptors() != nBefore) {
                strError += "descriptors left: " + std::to_string(OpenDescriptors() - nBefore);
            }
            CRegKeyTalvex().SetSaveResponse(true);
            if (!CRegKeyTalvex().GetSaveResponse()) {
                strError += "the store does not work once descriptors are free; ";
            }
            return strError;
        },
        strFailure))
        << strFailure;
}

TEST(DescriptorLimitTest, TheSoftLimitIsRaisedToTheHardOneAndLeavesRoomPerSession) {
    std::string strFailure;
    EXPECT_TRUE(InChild(
        []() -> std::string {
            rlimit limit{};
            ::getrlimit(RLIMIT_NOFILE, &limit);
            if (limit.rlim_max <= 64) {
                return {};
            }
            limit.rlim_cur = 64;
            ::setrlimit(RLIMIT_NOFILE, &limit);
            const win::COpenFileLimit raised = win::RaiseOpenFileLimit();
            rlimit now{};
            ::getrlimit(RLIMIT_NOFILE, &now);
            std::string strError;
            if (raised.nBefore != 64 || raised.nSoft != now.rlim_cur ||
                (limit.rlim_max != RLIM_INFINITY && now.rlim_cur != limit.rlim_max)) {
                strError += "not raised to the hard limit; ";
            }
            const std::wstring strLine = win::DescribeOpenFileLimit(raised);
            if (strLine.find(L"Open files limit: " + std::to_wstring(now.rlim_cur) +
                             L" (raised from 64; hard limit ") != 0) {
                strError += "trace line: " + std::string(strLine.begin(), strLine.end());
            }
            return strError;
        },
        strFailure))
        << strFailure;
    // Four descriptors a session, after a share for the rest of the program.
    EXPECT_EQ(230u, win::SessionCapacity(1024));
    EXPECT_EQ(50u, win::SessionCapacity(256));
    EXPECT_EQ(0u, win::SessionCapacity(32));
    EXPECT_GE(win::SessionCapacity(4400), 1000u);
}

}  // namespace
