// The help: pages of our own in HTML, installed with the program, opened in the user's web
// browser at the start page or at a named topic.
#pragma once

#include <QString>
#include <QStringList>

class CHelpPages {
public:
    static constexpr const char* kStartPage = "index.html";

    // The folders where the pages are looked for, in order: "help" next to the program (the
    // build tree), then "../share/tapvane/help" from the program (the installed tree).
    static QStringList CandidateFolders();
    // Looks in `strFolder` only (empty: the candidates again). For tests and special installs.
    static void SetFolderOverride(const QString& strFolder);
    // The first folder that holds the start page, or an empty text.
    static QString FindFolder();

    // GUI thread. Opens `strTopic` (the start page when empty) in the web browser; a missing
    // folder or page gives a box saying where the pages were looked for. Whether the
    // browser was asked to open the page.
    static bool Show(const QString& strTopic = QString());
};
