#include "ui/DisplayCheck.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

const char* Env(const char* pszName) {
    const char* psz = std::getenv(pszName);
    return psz != nullptr && *psz != '\0' ? psz : nullptr;
}

bool CanConnect(const std::string& strPath, bool bAbstract) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::size_t nOffset = bAbstract ? 1 : 0;
    if (strPath.size() + nOffset >= sizeof(addr.sun_path)) {
        return false;
    }
    std::memcpy(addr.sun_path + nOffset, strPath.data(), strPath.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const auto nLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + nOffset + strPath.size());
    const bool bOk = connect(fd, reinterpret_cast<sockaddr*>(&addr), nLength) == 0;
    close(fd);
    return bOk;
}

// An X display named like ":0" or "unix:0.0" is a local socket; one on another host is
// taken as it is.
bool XDisplayReachable(std::string_view display) {
    const std::size_t nColon = display.rfind(':');
    if (nColon == std::string_view::npos) {
        return false;
    }
    const std::string_view host = display.substr(0, nColon);
    if (!host.empty() && host != "unix") {
        return true;
    }
    std::string_view number = display.substr(nColon + 1);
    number = number.substr(0, number.find('.'));
    if (number.empty()) {
        return false;
    }
    const std::string strPath = "/tmp/.X11-unix/X" + std::string(number);
    return CanConnect(strPath, true) || CanConnect(strPath, false);
}

}  // namespace

std::string MissingDisplayReason() {
    if (Env("QT_QPA_PLATFORM") != nullptr) {
        return {};
    }
    if (const char* pszWayland = Env("WAYLAND_DISPLAY")) {
        const char* pszRuntime = Env("XDG_RUNTIME_DIR");
        const std::string strPath =
            pszWayland[0] == '/' ? pszWayland
                                 : std::string(pszRuntime ? pszRuntime : "") + "/" + pszWayland;
        if (CanConnect(strPath, false)) {
            return {};
        }
    }
    const char* pszDisplay = Env("DISPLAY");
    if (pszDisplay == nullptr) {
        return "no display to show the window on (DISPLAY is not set)";
    }
    if (!XDisplayReachable(pszDisplay)) {
        return "the display \"" + std::string(pszDisplay) + "\" cannot be reached";
    }
    return {};
}
