// Printing the traffic log: pages laid out from the document, a PDF printed through the
// window's Print command (read back with pdftotext), the selection only, the failure box,
// and the preview's page stepping with its status text.
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPageSize>
#include <QPainter>
#include <QPrinter>
#include <QProcess>
#include <QSplitter>

#include "MainFrameFixture.h"
#include "TempFolder.h"
#include "logdoc/LogDocument.h"
#include "ui/LogPrintLayout.h"
#include "ui/PrintCommands.h"
#include "ui/PrintPreview.h"

#include <random>
#include <string>

#include "module/Messages.h"
#include "platform/TextConv.h"

namespace {

using test::MainFrameFixture;

QPageLayout A4() {
    return QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(15, 15, 15, 15),
                       QPageLayout::Millimeter);
}

// The text of a PDF file, page by page (pdftotext ends every page with a form feed).
QStringList PdfPages(const QString& strPdf) {
    QProcess process;
    process.start(QStringLiteral(PDFTOTEXT_PATH),
                  {QStringLiteral("-layout"), strPdf, QStringLiteral("-")});
    EXPECT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(0, process.exitCode()) << process.readAllStandardError().toStdString();
    QStringList pages = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\f'));
    if (!pages.isEmpty() && pages.back().trimmed().isEmpty()) {
        pages.removeLast();
    }
    return pages;
}

class PrintTest : public MainFrameFixture {
protected:
    // `nLines` lines "Line 0000" ..., each under a bold marker line every tenth line.
    void FillLog(int nLines) {
        for (int i = 0; i < nLines; ++i) {
            const bool bMarker = i % 10 == 0;
            m_doc.AppendUtf8(QStringLiteral("%1 %2\r\n")
                                 .arg(bMarker ? QStringLiteral("0---<---") : QStringLiteral("Line"))
                                 .arg(i, 4, 10, QLatin1Char('0'))
                                 .toStdString(),
                             bMarker ? 1 : 2);
        }
    }
    // The byte offset where line `nLine` starts.
    std::uint64_t LineStart(std::uint64_t nLine) { return m_doc.GetLines(nLine, 1).at(0).nStart; }

    // The window with the log, its print dialog printing to `strPdf`.
    void OpenWithLog(const QString& strPdf, bool bSelection = false) {
        OpenFrame();
        m_pPane->m_pDoc = &m_doc;
        m_pPane->m_strTitle = QStringLiteral("capture.txt");
        m_pFrame->PrintCommands().SetPrintDialog(
            [=, this](QPrinter& printer, bool bHasSel, QWidget*) {
                m_bOfferedSelection = bHasSel;
                printer.setOutputFormat(QPrinter::PdfFormat);
                printer.setOutputFileName(strPdf);
                printer.setPrintRange(bSelection ? QPrinter::Selection : QPrinter::AllPages);
                return true;
            });
        m_pFrame->PrintCommands().SetFailureBox(
            [this](const QString& strText, const QString& strCaption) {
                m_failures.push_back(strCaption + QLatin1Char('|') + strText);
            });
        // Every test pages A4 with the same margins.
        m_pFrame->PrintCommands().Printer().setPageLayout(A4());
    }
    int RowsPerPage() { return CLogPrintLayout(m_doc, QString(), A4(), 0, 0).RowsPerPage(); }

    CTempFolder m_dir;
    CLogDocument m_doc{m_dir.Path()};
    std::vector<QString> m_failures;
    bool m_bOfferedSelection = false;
};

TEST_F(PrintTest, PagesHoldWholeRowsAndLongLinesWrap) {
    const int nRows = RowsPerPage();
    ASSERT_GT(nRows, 20);
    FillLog(3 * nRows + 5);
    CLogPrintLayout layout(m_doc, QStringLiteral("t"), A4(), 0, m_doc.GetSize());
    // The pages come one at a time, as far as asked for.
    EXPECT_TRUE(layout.HasPage(1));
    EXPECT_FALSE(layout.HasPage(4));
    EXPECT_EQ(4, layout.PageCount());
    EXPECT_EQ(static_cast<std::size_t>(nRows), layout.PageRows(0).size());
    EXPECT_EQ(5u, layout.PageRows(3).size());
    EXPECT_TRUE(layout.PageRows(4).empty());
    // Page 2 starts with the line after the last of page 1.
    EXPECT_EQ(LineStart(static_cast<std::uint64_t>(nRows)), layout.PageRows(1).at(0).nStart);

    // A line of two and a half rows takes three; a tab counts to the next eighth column.
    CTempFolder dir;
    CLogDocument doc(dir.Path());
    CLogPrintLayout probe(doc, QString(), A4(), 0, 0);
    const int nColumns = probe.ColumnsPerRow();
    doc.AppendUtf8(std::string(static_cast<std::size_t>(nColumns * 5 / 2), 'x') + "\n" + "\t" +
                       std::string(static_cast<std::size_t>(nColumns - 8), 'y') + "z\n",
                   2);
    CLogPrintLayout wrapped(doc, QString(), A4(), 0, doc.GetSize());
    const auto rows = wrapped.PageRows(0);
    ASSERT_EQ(5u, rows.size());
    EXPECT_EQ(static_cast<std::uint64_t>(nColumns), rows[0].nEnd - rows[0].nStart);
    EXPECT_EQ(static_cast<std::uint64_t>(nColumns / 2), rows[2].nEnd - rows[2].nStart);
    EXPECT_EQ(1u, rows[4].nEnd - rows[4].nStart);  // the "z" that the tab pushed over
    // An empty log prints one page, with its header.
    CLogPrintLayout empty(doc, QString(), A4(), 0, 0);
    EXPECT_EQ(1, empty.PageCount());
}

// A log that keeps relayed blocks as their bytes (their text counted from them, made when
// read) pages exactly as one that keeps the same blocks' text: binary data, long lines that
// wrap, tabs and every kind of break.
TEST_F(PrintTest, ALogOfRelayedBytesPagesAsTheSameTextKeptAsItIs) {
    CTempFolder dir;
    CLogDocument raw(dir.Path());
    CLogDocument text(dir.Path());
    std::mt19937 random(13);
    for (int i = 0; i < 60; ++i) {
        std::string block;
        const std::size_t nSize = 64 + random() % 6000;
        while (block.size() < nSize) {
            const unsigned r = random() % 8;
            block += r == 0   ? std::string(1, static_cast<char>(random()))
                     : r == 1 ? std::string("\tcaf\xc3\xa9\r\n")
                     : r == 2 ? std::string(1, '\0') + "\r"
                              : std::string(1, static_cast<char>(random() % 0x60 + 0x20));
        }
        for (CLogDocument* pDoc : {&raw, &text}) {
            pDoc->AppendUtf8("\r\n0---<---", LOG_STYLE_BOLD);
        }
        raw.AppendLogBytes(block, LOG_STYLE_PLAIN);
        std::string converted(3 * block.size(), '\0');
        converted.resize(win::AnsiToUtf8(block, converted.data(), true));
        text.AppendUtf8(converted, LOG_STYLE_PLAIN);
    }
    ASSERT_EQ(text.GetSize(), raw.GetSize());
    CLogPrintLayout fromText(text, QStringLiteral("t"), A4(), 0, text.GetSize());
    CLogPrintLayout fromRaw(raw, QStringLiteral("t"), A4(), 0, raw.GetSize());
    ASSERT_GT(fromText.PageCount(), 3);
    ASSERT_EQ(fromText.PageCount(), fromRaw.PageCount());
    for (int nPage = 0; nPage < fromText.PageCount(); ++nPage) {
        const auto rows = fromText.PageRows(nPage);
        const auto rawRows = fromRaw.PageRows(nPage);
        ASSERT_EQ(rows.size(), rawRows.size()) << nPage;
        for (std::size_t k = 0; k < rows.size(); ++k) {
            ASSERT_EQ(rows[k].nStart, rawRows[k].nStart) << nPage << " " << k;
            ASSERT_EQ(rows[k].nEnd, rawRows[k].nEnd) << nPage << " " << k;
        }
    }
}

// One line of the log printed at `dDpi` on A4, and the width of a column in the image.
QImage PrintedLine(const std::string& strLine, double dDpi, double& dColumn) {
    CTempFolder dir;
    CLogDocument doc(dir.Path());
    doc.AppendUtf8(strLine + "\r\n", LOG_STYLE_PLAIN);
    CLogPrintLayout layout(doc, QStringLiteral("t"), A4(), 0, doc.GetSize());
    layout.SetDirectionColours(false);
    const QSize size = (layout.PaintSize() * dDpi / CLogPrintLayout::kUnitsPerInch).toSize();
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        layout.PrepareAndPaint(painter, dDpi, 0);
    }
    // The width of a column is at most the printable width over the columns in a row.
    dColumn = static_cast<double>(size.width()) / layout.ColumnsPerRow();
    return image;
}

// The part of the first rows of a printed page between two column positions.
QImage PrintedColumns(const QImage& image, double dColumn, double dFrom, double dTo) {
    const int nLeft = static_cast<int>(dFrom * dColumn);
    return image.copy(nLeft, 0, static_cast<int>(dTo * dColumn) - nLeft, image.height() / 4);
}

// Each character prints in its own column: text of another direction, a direction
// override, a combining mark or a character from a fallback font moves nothing after it.
TEST_F(PrintTest, EveryCharacterPrintsInItsColumnWhateverItsScript) {
    const std::string lines[] = {
        "ab cdefgh",
        "ab\u202Ecdefgh",       // right-to-left override
        "ab\u05D0cdefgh",       // a Hebrew letter
        "ab\u0301cdefgh",       // a combining accent
        "ab\u0628\u0628defgh",  // two joining Arabic letters
    };
    std::vector<QImage> strips;
    for (const std::string& strLine : lines) {
        double dColumn = 0;
        const QImage image = PrintedLine(strLine, 150, dColumn);
        // Columns 5 to 8 ("efgh"), kept clear of their neighbours.
        strips.push_back(PrintedColumns(image, dColumn, 5.25, 8.75));
    }
    int nDark = 0;
    for (int y = 0; y < strips[0].height(); ++y) {
        for (int x = 0; x < strips[0].width(); ++x) {
            nDark += qGray(strips[0].pixel(x, y)) < 128 ? 1 : 0;
        }
    }
    ASSERT_GT(nDark, 20);
    for (std::size_t k = 1; k < strips.size(); ++k) {
        EXPECT_TRUE(strips[k] == strips[0]) << k;
    }
}

// A character wider than a column (a long arrow from a proportional fallback font) is
// narrowed to its column on paper as on screen, leaving the next ones clear.
TEST_F(PrintTest, AGlyphWiderThanAColumnPrintsInItsColumn) {
    double dColumn = 0;
    const QImage blank = PrintedLine("x    x", 150, dColumn);
    const QImage wide = PrintedLine("x\u27F9   x", 150, dColumn);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (QFontMetricsF(font).horizontalAdvance(QStringLiteral("\u27F9")) <
        1.5 * QFontMetricsF(font).horizontalAdvance(QLatin1Char('M'))) {
        GTEST_SKIP() << "the installed fonts draw the long arrow no wider than a column";
    }
    EXPECT_FALSE(PrintedColumns(wide, dColumn, 1.1, 1.9) ==
                 PrintedColumns(blank, dColumn, 1.1, 1.9));
    EXPECT_TRUE(PrintedColumns(wide, dColumn, 2.1, 4.9) ==
                PrintedColumns(blank, dColumn, 2.1, 4.9));
}

TEST_F(PrintTest, PrintingToPdfGivesEveryPageWithItsText) {
    const int nRows = RowsPerPage();
    const int nLines = 2 * nRows + 3;
    FillLog(nLines);
    const QString strPdf = QString::fromStdString(m_dir.Path("log.pdf"));
    OpenWithLog(strPdf);
    ASSERT_TRUE(Act(ID_FILE_PRINT).isEnabled());
    Act(ID_FILE_PRINT).trigger();
    EXPECT_TRUE(m_failures.empty());
    EXPECT_FALSE(m_bOfferedSelection);
    EXPECT_EQ(QStringLiteral("Quillet Document"), m_pFrame->PrintCommands().Printer().docName());
    const QStringList pages = PdfPages(strPdf);
    ASSERT_EQ(3, pages.size());
    for (int i = 0; i < pages.size(); ++i) {
        EXPECT_TRUE(pages[i].contains(QStringLiteral("capture.txt"))) << i;
        EXPECT_TRUE(pages[i].contains(QStringLiteral("Page %1").arg(i + 1))) << i;
    }
    // Every line, in order, on its page.
    for (int i = 0; i < nLines; ++i) {
        const QString strLine =
            QStringLiteral("%1 %2")
                .arg(i % 10 == 0 ? QStringLiteral("0---<---") : QStringLiteral("Line"))
                .arg(i, 4, 10, QLatin1Char('0'));
        EXPECT_TRUE(pages[i / nRows].contains(strLine)) << strLine.toStdString();
    }
    EXPECT_FALSE(
        pages[0].contains(QStringLiteral("Line %1").arg(nRows + 1, 4, 10, QLatin1Char('0'))));
}

TEST_F(PrintTest, TheSelectionOnlyWhenChosenInTheDialog) {
    FillLog(40);
    const QString strPdf = QString::fromStdString(m_dir.Path("sel.pdf"));
    OpenWithLog(strPdf, true);
    m_pPane->m_nSelFrom = LineStart(21);
    m_pPane->m_nSelTo = LineStart(23) + 4;  // "Line" of line 23
    Act(ID_FILE_PRINT).trigger();
    EXPECT_TRUE(m_bOfferedSelection);
    QStringList pages = PdfPages(strPdf);
    ASSERT_EQ(1, pages.size());
    EXPECT_TRUE(pages[0].contains(QStringLiteral("Line 0021")));
    EXPECT_TRUE(pages[0].contains(QStringLiteral("Line 0022")));
    EXPECT_FALSE(pages[0].contains(QStringLiteral("0023")));
    EXPECT_FALSE(pages[0].contains(QStringLiteral("Line 0019")));

    // The same selection, with all pages chosen, prints everything.
    const QString strAll = QString::fromStdString(m_dir.Path("all.pdf"));
    OpenWithLog(strAll, false);
    m_pPane->m_nSelFrom = LineStart(21);
    m_pPane->m_nSelTo = LineStart(23);
    Act(ID_FILE_PRINT).trigger();
    pages = PdfPages(strAll);
    ASSERT_EQ(1, pages.size());
    EXPECT_TRUE(pages[0].contains(QStringLiteral("Line 0039")));
    EXPECT_TRUE(pages[0].contains(QStringLiteral("0---<--- 0000")));
}

TEST_F(PrintTest, APrinterThatCannotStartGivesTheFailureBox) {
    FillLog(3);
    OpenWithLog(QString::fromStdString(m_dir.Path("no/such/folder/x.pdf")));
    Act(ID_FILE_PRINT).trigger();
    ASSERT_EQ(1u, m_failures.size());
    EXPECT_EQ(QStringLiteral("Quillet|Print operation failed"), m_failures[0]);
}

TEST_F(PrintTest, PreviewStepsThroughThePagesAndGivesTheWindowBack) {
    const int nRows = RowsPerPage();
    FillLog(2 * nRows + 1);
    OpenWithLog(QString());
    m_pFrame->statusBar();
    QWidget* pClient = m_pFrame->centralWidget();
    const QString strStatus = m_pFrame->StatusText(1);
    Act(ID_FILE_PRINT_PREVIEW).trigger();
    CPrintCommands& print = m_pFrame->PrintCommands();
    ASSERT_TRUE(print.InPreview());
    EXPECT_EQ(print.Preview(), m_pFrame->centralWidget());
    EXPECT_FALSE(m_pFrame->MainToolBar()->isVisible());
    EXPECT_TRUE(print.PreviewBar()->isVisible());
    EXPECT_EQ(QStringLiteral("Page 1 of 3."), m_pFrame->StatusText(1));
    EXPECT_FALSE(Act(ID_PREVIEW_PREV).isEnabled());
    EXPECT_TRUE(Act(ID_PREVIEW_NEXT).isEnabled());
    // The page shows text: dark pixels on the white sheet.
    const QImage image = print.Preview()->PageImage();
    ASSERT_FALSE(image.isNull());
    int nDark = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            nDark += qGray(image.pixel(x, y)) < 128 ? 1 : 0;
        }
    }
    EXPECT_GT(nDark, 100);

    Act(ID_PREVIEW_NEXT).trigger();
    EXPECT_EQ(QStringLiteral("Page 2 of 3."), m_pFrame->StatusText(1));
    EXPECT_TRUE(Act(ID_PREVIEW_PREV).isEnabled());
    QTest::keyClick(print.Preview(), Qt::Key_PageDown);
    EXPECT_EQ(QStringLiteral("Page 3 of 3."), m_pFrame->StatusText(1));
    EXPECT_FALSE(Act(ID_PREVIEW_NEXT).isEnabled());
    Act(ID_PREVIEW_NEXT).trigger();  // nothing beyond the last page
    EXPECT_EQ(QStringLiteral("Page 3 of 3."), m_pFrame->StatusText(1));
    Act(ID_PREVIEW_PREV).trigger();
    EXPECT_EQ(QStringLiteral("Page 2 of 3."), m_pFrame->StatusText(1));

    Act(ID_PREVIEW_CLOSE).trigger();
    EXPECT_FALSE(print.InPreview());
    EXPECT_EQ(pClient, m_pFrame->centralWidget());
    EXPECT_TRUE(m_pFrame->MainToolBar()->isVisible());
    EXPECT_FALSE(print.PreviewBar()->isVisible());
    EXPECT_EQ(strStatus, m_pFrame->StatusText(1));
    EXPECT_FALSE(Act(ID_PREVIEW_NEXT).isEnabled());
    EXPECT_TRUE(m_failures.empty());
}

}  // namespace
