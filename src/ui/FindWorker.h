// Runs the log's searches off the GUI thread: one job at a time on a thread of its own, in
// steps of bounded work, with progress and cancellation between the steps.
#pragma once

#include <QObject>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "logdoc/LogSearch.h"

class CLogDocument;

class CFindWorker : public QObject {
    Q_OBJECT

public:
    enum class EJob { Count, Next, Previous };

    struct CJob {
        EJob eKind = EJob::Count;
        CFindOptions options;
        // Next: the first start to look at; Previous: the first start not to look at.
        std::uint64_t nPos = 0;
        // Count: go on from nPos with nBase matches counted before it (settled ones).
        std::uint64_t nBase = 0;
    };

    struct COutcome {
        std::uint64_t nSerial = 0;  // the job's, from Start
        EJob eKind = EJob::Count;
        EFindResult eResult = EFindResult::NotFound;
        CFindMatch match;
        bool bWrapped = false;  // found only after going round the end of the log
        // Count: all matches, and those that no append can change, with the place where a
        // later count goes on.
        std::uint64_t nCount = 0;
        std::uint64_t nSettledCount = 0;
        std::uint64_t nSettledPos = 0;
        std::uint64_t nSize = 0;  // the size of the log the job saw
        std::wstring strError;    // a pattern that does not compile
        bool bAbortedLines = false;
    };

    // Bytes of text one step looks at: a few milliseconds of work, the longest a
    // cancellation waits.
    static constexpr std::uint64_t kPlainStep = 8 << 20;
    static constexpr std::uint64_t kPatternStep = 256 << 10;

    explicit CFindWorker(const CLogDocument& doc, QObject* pParent = nullptr);
    // GUI thread. Cancels the job and waits for its step to end.
    ~CFindWorker() override;

    // GUI thread. Cancels the running job and starts this one; its serial number.
    std::uint64_t Start(CJob job);
    // GUI thread. Stops the running job within one step; no outcome is reported for it.
    void Cancel();
    // GUI thread.
    bool IsRunning() const { return m_bRunning; }

signals:
    // On the GUI thread, for the job that runs now (never for a cancelled one).
    void progress(int nPercent);
    void finished(const CFindWorker::COutcome& outcome);

private:
    // Worker thread. Runs the job to its end or its cancellation.
    void Run(CJob job, std::uint64_t nSerial);
    COutcome RunFind(const CJob& job, CLogSearch& search);
    COutcome RunCount(const CJob& job, CLogSearch& search);
    // Worker thread. Whether to go on; posts the progress at most every 100 ms.
    bool Step(std::uint64_t nDone, std::uint64_t nTotal);
    // Any thread. Hands a call to the GUI thread unless the job was cancelled meanwhile.
    template <class F>
    void Post(std::uint64_t nSerial, F fn);

    const CLogDocument& m_doc;
    std::thread m_thread;
    std::atomic<bool> m_bCancel{false};
    // The serial of the job whose results the GUI thread wants; older ones are dropped.
    std::atomic<std::uint64_t> m_nCurrent{0};
    std::uint64_t m_nSerial = 0;         // GUI thread
    bool m_bRunning = false;             // GUI thread
    std::int64_t m_nLastProgressMs = 0;  // worker thread
    std::uint64_t m_nRunningSerial = 0;  // worker thread
};

Q_DECLARE_METATYPE(CFindWorker::COutcome)
