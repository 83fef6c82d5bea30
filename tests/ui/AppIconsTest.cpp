// The program's own icons: drawn from SVG, so sharp at any scale, and legible on a light
// and on a dark toolbar.
#include <gtest/gtest.h>

#include <QDir>
#include <QPainter>

#include "ui/AppIcons.h"
#include "ui/LogColours.h"

namespace {

// The pixels of `icon` drawn at nSize on `background` that stand out from it (contrast 3:1
// or more).
int PixelsThatStandOut(const QIcon& icon, int nSize, const QColor& background) {
    QImage image(nSize, nSize, QImage::Format_RGB32);
    image.fill(background);
    {
        QPainter painter(&image);
        icon.paint(&painter, image.rect());
    }
    int nCount = 0;
    for (int y = 0; y < nSize; ++y) {
        for (int x = 0; x < nSize; ++x) {
            nCount += logcolours::ContrastRatio(image.pixelColor(x, y), background) >= 3.0 ? 1 : 0;
        }
    }
    return nCount;
}

TEST(AppIconsTest, OwnIconsAreVectorsAndStandOutOnLightAndDarkToolbars) {
    (void)AppIcon();  // registers the images
    const QStringList names = QDir(QStringLiteral(":/icons")).entryList({QStringLiteral("*.svg")});
    ASSERT_GE(names.size(), 7);
    for (const QString& strName : names) {
        SCOPED_TRACE(strName.toStdString());
        const QIcon icon(QStringLiteral(":/icons/") + strName);
        // Any size asked for is drawn at that size, not scaled up from a small bitmap.
        for (int nSize : {16, 24, 48, 96}) {
            EXPECT_EQ(QSize(nSize, nSize), icon.pixmap(nSize).size());
        }
        // At 32 pixels (16 at 200 %) a good part of the icon stands out from either
        // background: an outline on the light one, its fills on the dark one.
        constexpr int kSize = 32;
        for (const QColor& background : {QColor(0xf6, 0xf5, 0xf4), QColor(0x30, 0x30, 0x30)}) {
            EXPECT_GE(PixelsThatStandOut(icon, kSize, background), kSize * kSize / 10)
                << background.name().toStdString();
        }
    }
}

}  // namespace
