#include "ui/CompareDialog.h"

#include <QAbstractTableModel>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTextBlock>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>

#include "logdoc/LogDocument.h"
#include "logdoc/SessionListModel.h"

// The block pairs of one direction, as rows: number, each side's length, the difference.
class CBlockPairModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    void setPairs(const std::vector<CBlockPair>* pPairs) {
        beginResetModel();
        m_pPairs = pPairs;
        endResetModel();
    }
    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() || m_pPairs == nullptr ? 0 : static_cast<int>(m_pPairs->size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : 4;
    }
    QVariant headerData(int nSection, Qt::Orientation orientation, int nRole) const override {
        if (orientation != Qt::Horizontal || nRole != Qt::DisplayRole) {
            return {};
        }
        static const char* const kTitles[] = {"Block", "Left bytes", "Right bytes", "Difference"};
        return CCompareDialog::tr(kTitles[nSection]);
    }
    QVariant data(const QModelIndex& index, int nRole) const override {
        if (m_pPairs == nullptr || !index.isValid()) {
            return {};
        }
        const CBlockPair& p = (*m_pPairs)[static_cast<std::size_t>(index.row())];
        if (nRole == Qt::ForegroundRole && index.column() == 3 && !p.Same()) {
            return QColor(Qt::darkRed);
        }
        if (nRole != Qt::DisplayRole) {
            return {};
        }
        switch (index.column()) {
            case 0:
                return index.row() + 1;
            case 1:
            case 2: {
                const int nSide = index.column() - 1;
                return p.nBlock[nSide] == CBlockPair::kNone ? QVariant(QStringLiteral("-"))
                                                            : QVariant(p.nLength[nSide]);
            }
            default:
                if (p.nBlock[0] == CBlockPair::kNone) {
                    return CCompareDialog::tr("only right");
                }
                if (p.nBlock[1] == CBlockPair::kNone) {
                    return CCompareDialog::tr("only left");
                }
                return p.Same() ? CCompareDialog::tr("alike")
                                : CCompareDialog::tr("differs at byte %1").arg(p.nPrefix);
        }
    }

private:
    const std::vector<CBlockPair>* m_pPairs = nullptr;
};

namespace {

constexpr int kHexLine = 8 + 2 + 16 * 3 + 1;  // "offset", two blanks, 16 "xx ", the break
const char* const kDirectionNames[] = {"Client to server", "Server to client"};

}  // namespace

CCompareDialog::CCompareDialog(const CLogDocument& doc, std::uint32_t nRowA, std::uint32_t nRowB,
                               QWidget* pParent)
    : QDialog(pParent),
      m_doc(doc),
      m_nRows{nRowA, nRowB},
      m_pSummary(new QLabel(this)),
      m_pProgress(new QProgressBar(this)),
      m_pTabs(new QTabWidget(this)),
      m_pHex(new QCheckBox(tr("&Hex"), this)) {
    setObjectName(QStringLiteral("compareDialog"));
    setWindowTitle(tr("Compare Sessions #%1 and #%2")
                       .arg(CSessionListModel::Ordinal(nRowA))
                       .arg(CSessionListModel::Ordinal(nRowB)));
    auto* pLayout = new QVBoxLayout(this);
    m_pSummary->setWordWrap(true);
    m_pSummary->setText(tr("Comparing..."));
    m_pProgress->setRange(0, 100);
    pLayout->addWidget(m_pSummary);
    pLayout->addWidget(m_pProgress);
    for (int nDir = 0; nDir < 2; ++nDir) {
        m_pModels[nDir] = new CBlockPairModel(this);
        m_pLists[nDir] = new QTableView(this);
        m_pLists[nDir]->setModel(m_pModels[nDir]);
        m_pLists[nDir]->setSelectionBehavior(QAbstractItemView::SelectRows);
        m_pLists[nDir]->setSelectionMode(QAbstractItemView::SingleSelection);
        m_pLists[nDir]->verticalHeader()->hide();
        m_pLists[nDir]->horizontalHeader()->setStretchLastSection(true);
        m_pTabs->addTab(m_pLists[nDir], tr(kDirectionNames[nDir]));
        connect(m_pLists[nDir]->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
                [this, nDir](const QModelIndex& current) {
                    if (current.isValid()) {
                        showPair(nDir, static_cast<std::size_t>(current.row()));
                    }
                });
    }
    auto* pSides = new QWidget(this);
    auto* pSidesLayout = new QHBoxLayout(pSides);
    pSidesLayout->setContentsMargins(0, 0, 0, 0);
    for (int nSide = 0; nSide < 2; ++nSide) {
        m_pSides[nSide] = new QPlainTextEdit(pSides);
        m_pSides[nSide]->setReadOnly(true);
        m_pSides[nSide]->setLineWrapMode(QPlainTextEdit::NoWrap);
        m_pSides[nSide]->setFont(QFont(QStringLiteral("monospace")));
        pSidesLayout->addWidget(m_pSides[nSide]);
    }
    auto* pSplitter = new QSplitter(Qt::Vertical, this);
    pSplitter->addWidget(m_pTabs);
    pSplitter->addWidget(pSides);
    pSplitter->setStretchFactor(1, 2);
    pLayout->addWidget(pSplitter, 1);
    pLayout->addWidget(m_pHex);
    connect(m_pHex, &QCheckBox::toggled, this, [this] { showCurrent(); });
    resize(900, 650);

    m_worker = std::thread([this] { Work(); });
}

CCompareDialog::~CCompareDialog() {
    m_bCancel = true;
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

// Worker thread.
void CCompareDialog::Work() {
    int nLastPercent = -1;
    const int nError = CompareSessions(
        m_doc.GetRecords(), m_nRows[0], m_nRows[1], m_working,
        [this, &nLastPercent](std::uint64_t nDone, std::uint64_t nTotal) {
            const int nPercent = nTotal == 0 ? 100 : static_cast<int>(nDone * 100 / nTotal);
            if (nPercent != nLastPercent) {
                nLastPercent = nPercent;
                // By name with a copied argument: nothing of the worker's is read on the GUI
                // thread.
                QMetaObject::invokeMethod(this, "onProgress", Qt::QueuedConnection,
                                          Q_ARG(int, nPercent));
            }
            return !m_bCancel.load();
        });
    QMetaObject::invokeMethod(this, "onDone", Qt::QueuedConnection, Q_ARG(int, nError));
}

void CCompareDialog::onProgress(int nPercent) {
    m_pProgress->setValue(nPercent);
}

void CCompareDialog::onDone(int nError) {
    m_worker.join();  // it has posted this as its last act
    m_bRunning = false;
    m_pProgress->hide();
    m_result = std::move(m_working);
    for (int nDir = 0; nDir < 2; ++nDir) {
        m_pModels[nDir]->setPairs(&m_result.pairs[nDir]);
        m_pTabs->setTabText(nDir, tr("%1 (%2 of %3 blocks differ)")
                                      .arg(tr(kDirectionNames[nDir]))
                                      .arg(m_result.nDifferent[nDir])
                                      .arg(m_result.nPairsTotal[nDir]));
    }
    if (nError != 0) {
        m_pSummary->setText(tr("The sessions could not be compared: %1")
                                .arg(QString::fromLocal8Bit(std::strerror(nError))));
        return;
    }
    QString strText;
    if (m_result.nFirstDirection < 0) {
        strText = tr("The sessions' blocks are alike.");
    } else {
        const CBlockPair& p = m_result.pairs[m_result.nFirstDirection][m_result.nFirstPair];
        strText = tr("First difference: %1, block %2, byte %3.")
                      .arg(tr(kDirectionNames[m_result.nFirstDirection]).toLower())
                      .arg(m_result.nFirstPair + 1)
                      .arg(p.nPrefix);
    }
    for (int nDir = 0; nDir < 2; ++nDir) {
        if (m_result.nPairsTotal[nDir] > m_result.pairs[nDir].size()) {
            strText += QLatin1Char(' ') + tr("Only the first %1 blocks of %2 were compared.")
                                              .arg(m_result.pairs[nDir].size())
                                              .arg(tr(kDirectionNames[nDir]).toLower());
        }
    }
    m_pSummary->setText(strText);
    const int nDir = std::max(0, m_result.nFirstDirection);
    m_pTabs->setCurrentIndex(nDir);
    if (!m_result.pairs[nDir].empty()) {
        const QModelIndex index = m_pModels[nDir]->index(static_cast<int>(m_result.nFirstPair), 0);
        m_pLists[nDir]->setCurrentIndex(index);  // shows the pair
        m_pLists[nDir]->scrollTo(index);
    }
}

QString CCompareDialog::BytesAsText(std::string_view bytes) {
    QString out;
    out.reserve(static_cast<int>(bytes.size()));
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.append(c == '\n' || (b >= 0x20 && b < 0x7F) ? QChar(QLatin1Char(c)) : QChar(0x00B7));
    }
    return out;
}

QString CCompareDialog::BytesAsHex(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve((bytes.size() / 16 + 1) * kHexLine);
    for (std::size_t i = 0; i < bytes.size(); i += 16) {
        char sz[24];  // blocks shown are at most kMaxShown bytes: eight digits do
        std::snprintf(sz, sizeof sz, "%08x  ", static_cast<unsigned>(i));
        out += sz;
        for (std::size_t k = i; k < i + 16; ++k) {
            if (k < bytes.size()) {
                const auto b = static_cast<unsigned char>(bytes[k]);
                out += kHex[b >> 4];
                out += kHex[b & 15];
                out += ' ';
            } else {
                out += "   ";
            }
        }
        out += '\n';
    }
    return QString::fromLatin1(out);
}

int CCompareDialog::HexPosition(std::size_t nByte) {
    return static_cast<int>(nByte / 16 * kHexLine + 10 + nByte % 16 * 3);
}

void CCompareDialog::showPair(int nDirection, std::size_t nPair) {
    if (nDirection < 0 || nPair >= m_result.pairs[nDirection].size()) {
        return;
    }
    m_nShownDirection = nDirection;
    m_nShownPair = nPair;
    showCurrent();
}

void CCompareDialog::showCurrent() {
    if (m_nShownDirection < 0) {
        return;
    }
    const CBlockPair& pair = m_result.pairs[m_nShownDirection][m_nShownPair];
    const bool bHex = m_pHex->isChecked();
    std::string bytes[2];
    std::size_t nLength[2] = {};
    bool bRead[2] = {};
    for (int nSide = 0; nSide < 2; ++nSide) {
        bRead[nSide] = ReadPairSide(m_doc.GetRecords(), pair, nSide, bytes[nSide]);
        nLength[nSide] = bytes[nSide].size();
        bytes[nSide].resize(std::min(nLength[nSide], kMaxShown));
    }
    // The runs that differ, found in what is shown.
    const CDiffRuns runs = DifferingRuns(bytes[0], bytes[1]);
    QTextCharFormat format;
    format.setBackground(QColor(255, 200, 200));
    for (int nSide = 0; nSide < 2; ++nSide) {
        QPlainTextEdit* pEdit = m_pSides[nSide];
        if (!bRead[nSide]) {
            pEdit->setPlainText(tr("(the block could not be read)"));
            pEdit->setExtraSelections({});
            continue;
        }
        if (pair.nBlock[nSide] == CBlockPair::kNone) {
            pEdit->setPlainText(tr("(no block)"));
            pEdit->setExtraSelections({});
            continue;
        }
        pEdit->setPlainText(bHex ? BytesAsHex(bytes[nSide]) : BytesAsText(bytes[nSide]));
        QList<QTextEdit::ExtraSelection> marks;
        const auto mark = [&](int nStart, int nEnd) {
            QTextEdit::ExtraSelection sel;
            sel.format = format;
            sel.cursor = QTextCursor(pEdit->document());
            sel.cursor.setPosition(nStart);
            sel.cursor.setPosition(nEnd, QTextCursor::KeepAnchor);
            marks.append(sel);
        };
        for (const auto& [nFrom, nTo] : runs.runs[nSide]) {
            if (bHex) {
                // One mark a line, so that the offsets between the lines stay plain.
                for (std::size_t b = nFrom; b < nTo; b = (b / 16 + 1) * 16) {
                    const std::size_t nLineEnd = std::min(nTo, (b / 16 + 1) * 16);
                    mark(HexPosition(b), HexPosition(nLineEnd - 1) + 2);
                }
            } else {
                mark(static_cast<int>(nFrom), static_cast<int>(nTo));
            }
        }
        pEdit->setExtraSelections(marks);
        if (!runs.runs[nSide].empty()) {
            const std::size_t nFirst = runs.runs[nSide].front().first;
            QTextCursor at(pEdit->document());
            at.setPosition(bHex ? HexPosition(nFirst) : static_cast<int>(nFirst));
            pEdit->setTextCursor(at);
            pEdit->ensureCursorVisible();
        }
        if (nLength[nSide] > bytes[nSide].size()) {
            pEdit->appendPlainText(
                tr("(%1 more bytes not shown)").arg(nLength[nSide] - bytes[nSide].size()));
        }
    }
}
