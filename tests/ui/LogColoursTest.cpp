// The direction colours: their contrast with light and dark backgrounds, how far apart
// they stay for the common colour-vision deficiencies, and in grey on paper; then in the
// real window: each block's text in its direction's colour in the log and the hex dump,
// the log's own lines in the third style, View > Colour by Direction remembered.
#include <QAbstractScrollArea>
#include <QImage>
#include <QPageLayout>
#include <QPainter>
#include <QPalette>

#include <array>
#include <cmath>

#include "MainFrameFixture.h"
#include "TempFolder.h"
#include "logdoc/LogDocument.h"
#include "module/Messages.h"
#include "ui/LogColours.h"
#include "ui/LogPrintLayout.h"
#include "ui/LogView.h"

namespace {

using test::PumpUntil;
using Matrix = std::array<std::array<double, 3>, 3>;

double Linear(double d) {
    return d <= 0.04045 ? d / 12.92 : std::pow((d + 0.055) / 1.055, 2.4);
}

double Encoded(double d) {
    d = std::clamp(d, 0.0, 1.0);
    return d <= 0.0031308 ? d * 12.92 : 1.055 * std::pow(d, 1 / 2.4) - 0.055;
}

// The colour as someone with full protanopia, deuteranopia or tritanopia sees it: the
// simulation matrices of Machado, Oliveira and Fernandes (2009) at severity 1, applied to
// linear RGB.
constexpr Matrix kProtanopia{{{0.152286, 1.052583, -0.204868},
                              {0.114503, 0.786281, 0.099216},
                              {-0.003882, -0.048116, 1.051998}}};
constexpr Matrix kDeuteranopia{{{0.367322, 0.860646, -0.227968},
                                {0.280085, 0.672501, 0.047413},
                                {-0.011820, 0.042940, 0.968881}}};
constexpr Matrix kTritanopia{{{1.255528, -0.076749, -0.178779},
                              {-0.078411, 0.930809, 0.147602},
                              {0.004733, 0.691367, 0.303900}}};

QColor Simulate(const QColor& colour, const Matrix& m) {
    const std::array<double, 3> rgb{Linear(colour.redF()), Linear(colour.greenF()),
                                    Linear(colour.blueF())};
    std::array<double, 3> out{};
    for (int i = 0; i < 3; ++i) {
        out[i] = m[i][0] * rgb[0] + m[i][1] * rgb[1] + m[i][2] * rgb[2];
    }
    return QColor::fromRgbF(static_cast<float>(Encoded(out[0])),
                            static_cast<float>(Encoded(out[1])),
                            static_cast<float>(Encoded(out[2])));
}

// CIELAB (D65) of an sRGB colour.
std::array<double, 3> Lab(const QColor& colour) {
    const double r = Linear(colour.redF());
    const double g = Linear(colour.greenF());
    const double b = Linear(colour.blueF());
    const double x = (0.4124 * r + 0.3576 * g + 0.1805 * b) / 0.95047;
    const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    const double z = (0.0193 * r + 0.1192 * g + 0.9505 * b) / 1.08883;
    const auto f = [](double t) {
        return t > 216.0 / 24389 ? std::cbrt(t) : (24389.0 / 27 * t + 16) / 116;
    };
    return {116 * f(y) - 16, 500 * (f(x) - f(y)), 200 * (f(y) - f(z))};
}

// The CIE76 colour difference; about 2 is just noticeable, above 20 is plainly another colour.
double DeltaE(const QColor& a, const QColor& b) {
    const auto la = Lab(a);
    const auto lb = Lab(b);
    return std::hypot(la[0] - lb[0], la[1] - lb[1], la[2] - lb[2]);
}

struct CBackground {
    const char* pszName;
    QColor base;
    QColor text;
};

TEST(LogColoursTest, ThePairReadsOnLightAndDarkAndStaysApartForColourBlindness) {
    const CBackground backgrounds[] = {
        {"white", Qt::white, Qt::black},
        {"light grey", QColor(0xef, 0xef, 0xef), QColor(0x20, 0x20, 0x20)},
        {"cream", QColor(0xfd, 0xf6, 0xe3), QColor(0x58, 0x6e, 0x75)},
        {"dark grey", QColor(0x2a, 0x2a, 0x2a), QColor(0xdd, 0xdd, 0xdd)},
        {"dark blue", QColor(0x00, 0x2b, 0x36), QColor(0x83, 0x94, 0x96)},
        {"black", Qt::black, Qt::white},
    };
    for (const CBackground& bg : backgrounds) {
        SCOPED_TRACE(bg.pszName);
        const CLogColours colours = CLogColours::ForBackground(bg.base, bg.text);
        const QColor& client = colours.clientToServer;
        const QColor& server = colours.serverToClient;
        EXPECT_GE(logcolours::ContrastRatio(client, bg.base), CLogColours::kClientContrast);
        EXPECT_GE(logcolours::ContrastRatio(server, bg.base), CLogColours::kServerContrast);
        EXPECT_GE(logcolours::ContrastRatio(colours.other, bg.base), CLogColours::kOtherContrast);
        // Apart in normal sight, and after each simulated deficiency.
        EXPECT_GE(DeltaE(client, server), 40.0);
        for (const auto& [pszKind, matrix] :
             {std::pair{"protanopia", kProtanopia}, std::pair{"deuteranopia", kDeuteranopia},
              std::pair{"tritanopia", kTritanopia}}) {
            SCOPED_TRACE(pszKind);
            const QColor seenClient = Simulate(client, matrix);
            const QColor seenServer = Simulate(server, matrix);
            EXPECT_GE(DeltaE(seenClient, seenServer), 20.0)
                << client.name().toStdString() << " " << server.name().toStdString();
            // Still readable on the (likewise simulated) background.
            const QColor seenBase = Simulate(bg.base, matrix);
            EXPECT_GE(logcolours::ContrastRatio(seenClient, seenBase), 4.5);
            EXPECT_GE(logcolours::ContrastRatio(seenServer, seenBase), 3.0);
        }
        // The log's own lines are neither direction's colour.
        EXPECT_GE(DeltaE(colours.other, client), 20.0);
        EXPECT_GE(DeltaE(colours.other, server), 20.0);
    }
}

TEST(LogColoursTest, APaletteGetsItsOwnColoursWhenPalettesTakeTurns) {
    // The colours of the last palette are kept: a switch of theme must not keep them.
    QPalette light;
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::Text, Qt::black);
    QPalette dark;
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::Text, QColor(220, 220, 220));
    for (int nRound = 0; nRound < 2; ++nRound) {
        for (const QPalette* pPalette : {&light, &dark}) {
            const CLogColours colours = CLogColours::ForPalette(*pPalette);
            const CLogColours expected = CLogColours::ForBackground(
                pPalette->color(QPalette::Base), pPalette->color(QPalette::Text));
            EXPECT_EQ(expected.clientToServer, colours.clientToServer);
            EXPECT_EQ(expected.serverToClient, colours.serverToClient);
            EXPECT_EQ(expected.other, colours.other);
        }
    }
    EXPECT_NE(CLogColours::ForPalette(light).other, CLogColours::ForPalette(dark).other);
}

TEST(LogColoursTest, PaperColoursPrintAsTwoDistinctGreysThatReadInBlackAndWhite) {
    const CLogColours colours = CLogColours::ForPrint();
    // In grey the two directions differ in lightness (L* of CIELAB) ...
    const double dClient = Lab(colours.clientToServer)[0];
    const double dServer = Lab(colours.serverToClient)[0];
    EXPECT_GE(std::abs(dClient - dServer), 20.0) << dClient << " " << dServer;
    // ... and each is dark enough to read on white paper.
    for (const QColor& colour : {colours.clientToServer, colours.serverToClient, colours.other}) {
        EXPECT_GE(logcolours::ContrastRatio(colour, Qt::white), 4.5) << colour.name().toStdString();
    }
}

TEST(LogColoursTest, ContrastRatioMatchesKnownPairs) {
    EXPECT_NEAR(21.0, logcolours::ContrastRatio(Qt::black, Qt::white), 1e-9);
    EXPECT_NEAR(1.0, logcolours::ContrastRatio(QColor(0x77, 0x77, 0x77), QColor(0x77, 0x77, 0x77)),
                1e-9);
    // #777777 on white is the well-known 4.48:1.
    EXPECT_NEAR(4.48, logcolours::ContrastRatio(QColor(0x77, 0x77, 0x77), Qt::white), 0.01);
}

// Pixels of a printed page that are clearly blue, and clearly orange.
std::pair<int, int> BlueAndOrangePixels(CLogPrintLayout& layout) {
    QImage image(850, 1100, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        layout.PrepareAndPaint(painter, 100.0, 0);
    }
    int nBlue = 0;
    int nOrange = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            nBlue += c.blue() - c.red() > 60 ? 1 : 0;
            nOrange += c.red() - c.blue() > 60 ? 1 : 0;
        }
    }
    return {nBlue, nOrange};
}

TEST(LogColoursPrintTest, PagesPrintEachDirectionInItsColourOrAllInBlackWhenOff) {
    CTempFolder dir;
    CLogDocument doc(dir.Path());
    doc.AppendUtf8("Session 1 started", LOG_STYLE_PLAIN);
    for (LogDirection direction : {LogDirection::ClientToServer, LogDirection::ServerToClient}) {
        CLogRecord record;
        record.kind = LogRecordKind::BlockBegin;
        record.nSessionId = 1;
        record.nSession = 1;
        record.direction = direction;
        doc.OnLogRecord(record);
        doc.AppendUtf8("\r\n1---<---", LOG_STYLE_BOLD);
        const std::string strBytes(60, direction == LogDirection::ClientToServer ? 'C' : 'S');
        doc.AppendLogBytes(strBytes, LOG_STYLE_PLAIN);
        record.kind = LogRecordKind::Block;
        record.bytes = strBytes;
        doc.OnLogRecord(record);
    }
    const QPageLayout page(QPageSize(QPageSize::Letter), QPageLayout::Portrait,
                           QMarginsF(10, 10, 10, 10), QPageLayout::Millimeter);
    CLogPrintLayout layout(doc, QStringLiteral("log"), page, 0, doc.GetSize());
    const auto [nBlue, nOrange] = BlueAndOrangePixels(layout);
    EXPECT_GT(nBlue, 100);
    EXPECT_GT(nOrange, 100);
    layout.SetDirectionColours(false);
    const auto [nBlueOff, nOrangeOff] = BlueAndOrangePixels(layout);
    EXPECT_EQ(0, nBlueOff);
    EXPECT_EQ(0, nOrangeOff);
}

class LogColoursWindowTest : public test::MainFrameFixture {
protected:
    ILogSink& Sink() { return m_pFrame->LogPane().Sink(); }

    void Session(std::uint64_t nId, LogRecordKind kind, const std::string& strLine) {
        CLogRecord record;
        record.kind = kind;
        record.nSessionId = nId;
        record.nSession = static_cast<long>(nId);
        Sink().OnLogRecord(record);
        Sink().AppendLogUtf8(strLine, LOG_STYLE_PLAIN);
    }

    void Block(std::uint64_t nId, LogDirection direction, std::string_view bytes) {
        CLogRecord record;
        record.kind = LogRecordKind::BlockBegin;
        record.nSessionId = nId;
        record.nSession = static_cast<long>(nId);
        record.direction = direction;
        Sink().OnLogRecord(record);
        Sink().AppendLogUtf8(
            direction == LogDirection::ClientToServer ? "\r\n1--->---\r\n" : "\r\n1---<---\r\n",
            LOG_STYLE_BOLD);
        Sink().AppendLogBytes(bytes, LOG_STYLE_PLAIN);
        record.kind = LogRecordKind::Block;
        record.bytes = bytes;
        Sink().OnLogRecord(record);
    }

    // Whether row nRow of the view holds text in `colour`: a pixel that is the colour or,
    // at an antialiased edge, a blend of it with the background (at least half of it).
    static bool RowHasColour(CLogView& view, int nRow, const QColor& colour) {
        const QImage image = view.viewport()->grab().toImage();
        const int nHeight = view.fontMetrics().height();
        const QColor base = view.palette().base().color();
        const double d[3] = {static_cast<double>(colour.red() - base.red()),
                             static_cast<double>(colour.green() - base.green()),
                             static_cast<double>(colour.blue() - base.blue())};
        const double dLength2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
        for (int y = nRow * nHeight; y < (nRow + 1) * nHeight && y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                const double p[3] = {static_cast<double>(pixel.red() - base.red()),
                                     static_cast<double>(pixel.green() - base.green()),
                                     static_cast<double>(pixel.blue() - base.blue())};
                const double t = (p[0] * d[0] + p[1] * d[1] + p[2] * d[2]) / dLength2;
                if (t < 0.5 || t > 1.05) {
                    continue;
                }
                const double dOff = std::hypot(p[0] - t * d[0], p[1] - t * d[1], p[2] - t * d[2]);
                if (dOff <= 8.0) {
                    return true;
                }
            }
        }
        return false;
    }

    void FillLog() {
        Session(1, LogRecordKind::SessionStart, "Session 1 started");
        Block(1, LogDirection::ClientToServer, "HELLO WORLD HELLO WORLD");
        Block(1, LogDirection::ServerToClient, "WELCOME BACK WELCOME BACK");
        Sink().AppendLogUtf8("\r\nSession 1 ended", LOG_STYLE_PLAIN);
    }
};

TEST_F(LogColoursWindowTest, BlocksShowInTheirDirectionsColoursUntilTurnedOffAndItIsRemembered) {
    OpenFrameWithRealLog();
    EXPECT_TRUE(Act(ID_VIEW_DIRECTION_COLOURS).isChecked());
    FillLog();
    CLogView* pView = m_pFrame->ShownLogView();
    ASSERT_NE(nullptr, pView);
    ASSERT_TRUE(PumpUntil([&] { return pView->document().GetLineCount() == 6; }, 3000))
        << pView->document().ReadBytes(0, pView->document().GetSize());
    pView->scrollToLine(0);
    const CLogColours colours = CLogColours::ForPalette(pView->palette());
    // Lines: start, marker, data, marker, data, end.
    const auto check = [&](CLogView& view, int nClientRow, int nServerRow) {
        EXPECT_TRUE(RowHasColour(view, nClientRow, colours.clientToServer));
        EXPECT_FALSE(RowHasColour(view, nClientRow, colours.serverToClient));
        EXPECT_TRUE(RowHasColour(view, nServerRow, colours.serverToClient));
        EXPECT_FALSE(RowHasColour(view, nServerRow, colours.clientToServer));
    };
    check(*pView, 1, 3);  // the marker lines
    check(*pView, 2, 4);  // the data
    EXPECT_TRUE(RowHasColour(*pView, 0, colours.other));
    EXPECT_FALSE(RowHasColour(*pView, 0, colours.clientToServer));
    EXPECT_TRUE(RowHasColour(*pView, 5, colours.other));

    // The hex dump shows its blocks in the same colours: marker, its break, two hex lines.
    Act(ID_VIEW_HEX_DUMP).trigger();
    CLogView* pHex = m_pFrame->ShownLogView();
    ASSERT_NE(pView, pHex);
    ASSERT_TRUE(PumpUntil([&] { return pHex->document().GetLineCount() >= 10; }, 3000));
    pHex->scrollToLine(0);
    check(*pHex, 3, 7);
    check(*pHex, 4, 8);
    Act(ID_VIEW_HEX_DUMP).trigger();

    // Off: every line in the palette's text colour; the choice comes back next time.
    Act(ID_VIEW_DIRECTION_COLOURS).trigger();
    EXPECT_FALSE(Act(ID_VIEW_DIRECTION_COLOURS).isChecked());
    pView = m_pFrame->ShownLogView();
    pView->scrollToLine(0);
    for (int nRow = 0; nRow < 6; ++nRow) {
        EXPECT_FALSE(RowHasColour(*pView, nRow, colours.clientToServer)) << nRow;
        EXPECT_FALSE(RowHasColour(*pView, nRow, colours.serverToClient)) << nRow;
    }
    EXPECT_TRUE(RowHasColour(*pView, 2, pView->palette().text().color()));
    CloseForGood();
    OpenFrameWithRealLog();
    EXPECT_FALSE(Act(ID_VIEW_DIRECTION_COLOURS).isChecked());
    EXPECT_FALSE(m_pFrame->ShownLogView()->directionColours());
}

TEST_F(LogColoursWindowTest, TheWindowFollowsADarkPalette) {
    // The desktop's palette as a platform theme would give it; the tests run without one
    // (QT_QPA_PLATFORMTHEME unset), so the fallback's light palette is replaced here.
    const QPalette light = QApplication::palette();
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(0x30, 0x30, 0x30));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::AlternateBase, QColor(0x26, 0x26, 0x26));
    dark.setColor(QPalette::Text, QColor(0xe0, 0xe0, 0xe0));
    QApplication::setPalette(dark);
    const struct CRestore {
        QPalette palette;
        ~CRestore() { QApplication::setPalette(palette); }
    } restore{light};

    OpenFrameWithRealLog();
    FillLog();
    Act(ID_VIEW_TIMESTAMPS).trigger();
    CLogView* pView = m_pFrame->ShownLogView();
    ASSERT_TRUE(PumpUntil([&] { return pView->document().GetLineCount() == 6; }, 3000));
    pView->scrollToLine(0);
    const CLogColours colours = CLogColours::ForPalette(pView->palette());
    EXPECT_GT(colours.clientToServer.lightnessF(), 0.5);  // light text on the dark base
    EXPECT_GT(colours.serverToClient.lightnessF(), 0.4);
    EXPECT_TRUE(RowHasColour(*pView, 2, colours.clientToServer));
    EXPECT_TRUE(RowHasColour(*pView, 4, colours.serverToClient));
    EXPECT_TRUE(RowHasColour(*pView, 0, colours.other));
    // The text's background, the gutter's and the session list's are the dark ones.
    const QImage text = pView->viewport()->grab().toImage();
    EXPECT_EQ(QColor(0x1e, 0x1e, 0x1e), text.pixelColor(text.width() - 2, text.height() - 2));
    auto* pGutter = pView->findChild<QWidget*>(QStringLiteral("timestampGutter"));
    ASSERT_NE(nullptr, pGutter);
    const QImage gutter = pGutter->grab().toImage();
    EXPECT_EQ(QColor(0x30, 0x30, 0x30), gutter.pixelColor(1, gutter.height() - 2));
    auto* pList = m_pFrame->findChild<QAbstractScrollArea*>(QStringLiteral("sessionList"));
    ASSERT_NE(nullptr, pList);
    const QImage list = pList->viewport()->grab().toImage();
    EXPECT_EQ(QColor(0x1e, 0x1e, 0x1e), list.pixelColor(list.width() - 2, list.height() - 2));
}

}  // namespace
