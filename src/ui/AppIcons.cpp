#include "ui/AppIcons.h"

// The images are linked in with the library; make sure they are registered before use.
// (Outside any namespace: the registration function is declared where this is used.)
static void InitResources() {
    static const bool s_bDone = [] {
        Q_INIT_RESOURCE(tapvane);
        return true;
    }();
    (void)s_bDone;
}

QIcon ThemeIcon(const char* pszName) {
    InitResources();
    const QString strName = QString::fromLatin1(pszName);
    return QIcon::fromTheme(strName, QIcon(QStringLiteral(":/icons/%1.svg").arg(strName)));
}

QIcon AppIcon() {
    InitResources();
    return QIcon(QStringLiteral(":/icons/tapvane.svg"));
}
