#include "ui/HelpPages.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include "support/ShowMessage.h"
#include "ui/ExternalUrl.h"

namespace {

QString& FolderOverride() {
    static QString s_strFolder;
    return s_strFolder;
}

bool HoldsStartPage(const QString& strFolder) {
    return QFileInfo(QDir(strFolder).filePath(QLatin1String(CHelpPages::kStartPage))).isFile();
}

}  // namespace

QStringList CHelpPages::CandidateFolders() {
    if (!FolderOverride().isEmpty()) {
        return {FolderOverride()};
    }
    const QDir programDir(QCoreApplication::applicationDirPath());
    return {QDir::cleanPath(programDir.filePath(QStringLiteral("help"))),
            QDir::cleanPath(programDir.filePath(QStringLiteral("../share/tapvane/help")))};
}

void CHelpPages::SetFolderOverride(const QString& strFolder) {
    FolderOverride() = strFolder;
}

QString CHelpPages::FindFolder() {
    for (const QString& strFolder : CandidateFolders()) {
        if (HoldsStartPage(strFolder)) {
            return strFolder;
        }
    }
    return {};
}

bool CHelpPages::Show(const QString& strTopic) {
    const QString strFolder = FindFolder();
    if (strFolder.isEmpty()) {
        ShowMessage((QCoreApplication::translate("CHelpPages",
                                                 "The help pages of Tapvane are not installed. "
                                                 "They were looked for in:\n") +
                     CandidateFolders().join(QLatin1Char('\n')))
                        .toStdWString(),
                    MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    // Only a plain file name inside the folder: a topic never leads elsewhere.
    const QString strPage =
        strTopic.isEmpty() ? QString::fromLatin1(kStartPage) : QFileInfo(strTopic).fileName();
    const QString strPath = QDir(strFolder).filePath(strPage);
    if (!QFileInfo(strPath).isFile()) {
        ShowMessage(
            QCoreApplication::translate("CHelpPages", "The help page \"%1\" is missing from %2.")
                .arg(strPage, strFolder)
                .toStdWString(),
            MB_OK | MB_ICONEXCLAMATION);
        return false;
    }
    return OpenExternalUrl(QUrl::fromLocalFile(strPath));
}
