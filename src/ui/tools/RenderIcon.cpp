// Build tool: renders the program's SVG icon into the PNG sizes of the hicolor icon theme,
//     tapvane-render-icon <icon.svg> <theme folder> <name> <size>...
// writing <theme folder>/<size>x<size>/apps/<name>.png for each size. Runs on Qt's
// offscreen platform, so the build needs no display.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fputs("usage: tapvane-render-icon <icon.svg> <theme folder> <name> <size>...\n",
                   stderr);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int nArgs = 1;
    QGuiApplication app(nArgs, argv);
    const QString strSvg = QString::fromLocal8Bit(argv[1]);
    const QDir theme(QString::fromLocal8Bit(argv[2]));
    const QString strName = QString::fromLocal8Bit(argv[3]);
    for (int i = 4; i < argc; ++i) {
        const int nSize = std::atoi(argv[i]);
        if (nSize < 1 || nSize > 1024) {
            std::fprintf(stderr, "tapvane-render-icon: bad size \"%s\"\n", argv[i]);
            return 2;
        }
        // The reader draws the vector image at the size asked for, not a scaled bitmap.
        QImageReader reader(strSvg, "svg");
        reader.setScaledSize(QSize(nSize, nSize));
        QImage image = reader.read();
        if (image.isNull() || image.width() != nSize || image.height() != nSize) {
            std::fprintf(stderr, "tapvane-render-icon: cannot render %s at %d pixels: %s\n",
                         argv[1], nSize, qPrintable(reader.errorString()));
            return 1;
        }
        image = image.convertToFormat(QImage::Format_ARGB32);
        const QString strFolder = QStringLiteral("%1x%1/apps").arg(nSize);
        const QString strPath =
            theme.filePath(strFolder + QLatin1Char('/') + strName + QLatin1String(".png"));
        if (!theme.mkpath(strFolder) || !image.save(strPath, "PNG")) {
            std::fprintf(stderr, "tapvane-render-icon: cannot write %s\n", qPrintable(strPath));
            return 1;
        }
    }
    return 0;
}
