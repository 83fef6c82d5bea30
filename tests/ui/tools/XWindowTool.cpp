// xwindow-tool: finds and closes top-level windows by title on an X display, as a window
// manager would, for the smoke tests of the real program.
//
//   xwindow-tool find TITLE SECONDS   waits for a window titled TITLE; prints its id
//   xwindow-tool close TITLE          asks that window to close (WM_DELETE_WINDOW)
//
// Exit status: 0 done, 1 no such window, 2 no display or bad arguments.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::string TitleOf(Display* pDisplay, Window window) {
    const Atom netName = XInternAtom(pDisplay, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(pDisplay, "UTF8_STRING", False);
    Atom type = 0;
    int nFormat = 0;
    unsigned long nItems = 0;
    unsigned long nAfter = 0;
    unsigned char* pData = nullptr;
    std::string strTitle;
    if (XGetWindowProperty(pDisplay, window, netName, 0, 1024, False, utf8, &type, &nFormat,
                           &nItems, &nAfter, &pData) == Success &&
        pData != nullptr) {
        strTitle.assign(reinterpret_cast<char*>(pData), nItems);
        XFree(pData);
        return strTitle;
    }
    char* pszName = nullptr;
    if (XFetchName(pDisplay, window, &pszName) && pszName != nullptr) {
        strTitle = pszName;
        XFree(pszName);
    }
    return strTitle;
}

Window FindWindow(Display* pDisplay, const std::string& strTitle) {
    Window root = 0;
    Window parent = 0;
    Window* pChildren = nullptr;
    unsigned int nChildren = 0;
    Window found = 0;
    if (XQueryTree(pDisplay, DefaultRootWindow(pDisplay), &root, &parent, &pChildren, &nChildren)) {
        for (unsigned int i = 0; i < nChildren && found == 0; ++i) {
            if (TitleOf(pDisplay, pChildren[i]) == strTitle) {
                found = pChildren[i];
            }
        }
        XFree(pChildren);
    }
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: xwindow-tool find TITLE SECONDS | close TITLE\n");
        return 2;
    }
    Display* pDisplay = XOpenDisplay(nullptr);
    if (pDisplay == nullptr) {
        std::fprintf(stderr, "xwindow-tool: no display\n");
        return 2;
    }
    const std::string strCommand = argv[1];
    const std::string strTitle = argv[2];
    const double dSeconds = argc > 3 ? std::atof(argv[3]) : 0.0;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(dSeconds * 1000));
    Window window = FindWindow(pDisplay, strTitle);
    while (window == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        window = FindWindow(pDisplay, strTitle);
    }
    int nResult = 1;
    if (window != 0 && strCommand == "find") {
        std::printf("0x%lx\n", window);
        nResult = 0;
    } else if (window != 0 && strCommand == "close") {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(pDisplay, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] =
            static_cast<long>(XInternAtom(pDisplay, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(pDisplay, window, False, NoEventMask, &event);
        XFlush(pDisplay);
        nResult = 0;
    }
    XCloseDisplay(pDisplay);
    return nResult;
}
