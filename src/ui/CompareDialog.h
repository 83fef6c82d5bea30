// "Compare Sessions": two sessions side by side, per direction (a tab each), block by
// block. The list of block pairs says which are alike; the pair chosen shows both blocks,
// as text or hex, with the runs of differing bytes marked (see DifferingRuns). The first difference
// is chosen when the comparison ends.
//
// The comparison runs on a worker thread of the dialog's own and keeps no bytes (see
// CompareSessions); the bytes of the one pair on show are read when it is chosen, at most
// kMaxShown of each block.
//
// Threads: GUI thread, but for the worker, which reaches the dialog only through queued
// calls.
#pragma once

#include <QDialog>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "export/SessionCompare.h"

class CLogDocument;
class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QTabWidget;
class QTableView;
class CBlockPairModel;

class CCompareDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr std::size_t kMaxShown = 1 << 20;

    // GUI thread. Starts comparing table rows nRowA (left) and nRowB (right) of `doc`,
    // which outlives the dialog.
    CCompareDialog(const CLogDocument& doc, std::uint32_t nRowA, std::uint32_t nRowB,
                   QWidget* pParent = nullptr);
    // Cancels the worker and waits for it.
    ~CCompareDialog() override;

    bool isRunning() const { return m_bRunning; }
    QLabel* summary() const { return m_pSummary; }
    QTabWidget* tabs() const { return m_pTabs; }
    QTableView* pairList(int nDirection) const { return m_pLists[nDirection]; }
    QPlainTextEdit* side(int nSide) const { return m_pSides[nSide]; }
    QCheckBox* hexBox() const { return m_pHex; }
    const CSessionComparison& result() const { return m_result; }

    // Shows pair nPair of direction nDirection in the two panes.
    void showPair(int nDirection, std::size_t nPair);

    // How bytes read as text here: one character a byte (printable ASCII, line feeds,
    // others as a middle dot), so that byte offsets are character offsets.
    static QString BytesAsText(std::string_view bytes);
    // As hex lines "offset  16 bytes": the character position and length of byte nByte.
    static QString BytesAsHex(std::string_view bytes);
    static int HexPosition(std::size_t nByte);

private:
    // Worker thread: the comparison, its progress and its result posted back.
    void Work();
    // GUI thread, queued from the worker.
    Q_INVOKABLE void onProgress(int nPercent);
    Q_INVOKABLE void onDone(int nError);
    void showCurrent();

    const CLogDocument& m_doc;
    std::uint32_t m_nRows[2];
    std::thread m_worker;
    std::atomic<bool> m_bCancel{false};
    bool m_bRunning = true;
    CSessionComparison m_working;  // the worker's until it has ended
    CSessionComparison m_result;   // the GUI's, once the worker has ended
    int m_nShownDirection = -1;
    std::size_t m_nShownPair = 0;

    QLabel* m_pSummary;
    QProgressBar* m_pProgress;
    QTabWidget* m_pTabs;
    QTableView* m_pLists[2];
    CBlockPairModel* m_pModels[2];
    QPlainTextEdit* m_pSides[2];
    QCheckBox* m_pHex;
};
