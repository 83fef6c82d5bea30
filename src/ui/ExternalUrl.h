// Opening a URL in the user's own programs (web browser, mail program), behind a
// replaceable opener so that tests can catch the URL instead of starting a program.
#pragma once

#include <QUrl>

#include <functional>

using UrlOpenerFn = std::function<bool(const QUrl&)>;

// GUI thread. Installs the opener (null: the desktop's, QDesktopServices::openUrl).
void SetUrlOpener(UrlOpenerFn fn);

// GUI thread. Hands `url` to the opener; whether it took it.
bool OpenExternalUrl(const QUrl& url);
