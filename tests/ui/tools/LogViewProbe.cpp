// A log view over a log of two known lines, shown on the real display for a few seconds,
// for the AT-SPI smoke test to read over the accessibility bus.
//     tapvane-logview-probe SECONDS
#include <QApplication>
#include <QTimer>

#include <cstdlib>

#include "logdoc/LogDocument.h"
#include "module/Messages.h"
#include "ui/LogView.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int nSeconds = argc > 1 ? std::atoi(argv[1]) : 10;
    CLogDocument doc;
    doc.AppendUtf8("Session 1 starts.\n1---<---GET / HTTP/1.1\n", LOG_STYLE_PLAIN);
    CLogView view(doc);
    view.setWindowTitle(QStringLiteral("Log view probe"));
    view.resize(500, 300);
    view.show();
    view.setFocus();
    QTimer::singleShot(nSeconds * 1000, &app, &QApplication::quit);
    return app.exec();
}
