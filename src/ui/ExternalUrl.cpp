#include "ui/ExternalUrl.h"

#include <QDesktopServices>

namespace {

UrlOpenerFn& Opener() {
    static UrlOpenerFn s_fnOpener;
    return s_fnOpener;
}

}  // namespace

void SetUrlOpener(UrlOpenerFn fn) {
    Opener() = std::move(fn);
}

bool OpenExternalUrl(const QUrl& url) {
    if (const UrlOpenerFn& fn = Opener()) {
        return fn(url);
    }
    return QDesktopServices::openUrl(url);
}
