#include "ui/FindWorker.h"

#include <QMetaObject>

#include <algorithm>

#include <chrono>

#include "logdoc/LogDocument.h"

namespace {

constexpr std::int64_t kProgressMs = 100;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

CFindWorker::CFindWorker(const CLogDocument& doc, QObject* pParent) : QObject(pParent), m_doc(doc) {
    qRegisterMetaType<CFindWorker::COutcome>();
}

CFindWorker::~CFindWorker() {
    Cancel();
}

void CFindWorker::Cancel() {
    m_nCurrent.store(0, std::memory_order_release);
    m_bCancel.store(true, std::memory_order_release);
    if (m_thread.joinable()) {
        // The worker never waits for this thread, so this ends within one step.
        m_thread.join();
    }
    m_bCancel.store(false, std::memory_order_release);
    m_bRunning = false;
}

std::uint64_t CFindWorker::Start(CJob job) {
    Cancel();
    const std::uint64_t nSerial = ++m_nSerial;
    m_nCurrent.store(nSerial, std::memory_order_release);
    m_bRunning = true;
    m_thread = std::thread(
        [this, job = std::move(job), nSerial]() mutable { Run(std::move(job), nSerial); });
    return nSerial;
}

template <class F>
void CFindWorker::Post(std::uint64_t nSerial, F fn) {
    // Runs on the GUI thread, where a cancelled or replaced job is recognised by its serial.
    QMetaObject::invokeMethod(
        this,
        [this, nSerial, fn = std::move(fn)]() {
            if (m_nCurrent.load(std::memory_order_acquire) == nSerial) {
                fn();
            }
        },
        Qt::QueuedConnection);
}

bool CFindWorker::Step(std::uint64_t nDone, std::uint64_t nTotal) {
    if (m_bCancel.load(std::memory_order_acquire)) {
        return false;
    }
    const std::int64_t nNow = NowMs();
    if (nNow - m_nLastProgressMs >= kProgressMs && nTotal > 0) {
        m_nLastProgressMs = nNow;
        const int nPercent =
            static_cast<int>(std::min<std::uint64_t>(nDone, nTotal) * 100 / nTotal);
        Post(m_nRunningSerial, [this, nPercent] { emit progress(nPercent); });
    }
    return true;
}

void CFindWorker::Run(CJob job, std::uint64_t nSerial) {
    m_nRunningSerial = nSerial;
    m_nLastProgressMs = NowMs();
    CLogSearch search(m_doc, job.options);
    COutcome outcome;
    if (!search.IsValid()) {
        outcome.strError = search.GetErrorText();
    } else if (job.eKind == EJob::Count) {
        outcome = RunCount(job, search);
    } else {
        outcome = RunFind(job, search);
    }
    if (m_bCancel.load(std::memory_order_acquire)) {
        return;
    }
    outcome.nSerial = nSerial;
    outcome.eKind = job.eKind;
    outcome.bAbortedLines = search.HadAbortedLines();
    Post(nSerial, [this, outcome] {
        m_bRunning = false;
        emit finished(outcome);
    });
}

CFindWorker::COutcome CFindWorker::RunFind(const CJob& job, CLogSearch& search) {
    COutcome outcome;
    const std::uint64_t nSize = m_doc.GetSize();
    outcome.nSize = nSize;
    const bool bForward = job.eKind == EJob::Next;
    const std::uint64_t nStep = job.options.bRegex ? kPatternStep : kPlainStep;
    // Up to the end (or the start), then round from the other end to where it began.
    for (int nPass = 0; nPass < 2; ++nPass) {
        const std::uint64_t nFrom =
            bForward ? (nPass == 0 ? job.nPos : 0) : (nPass == 0 ? 0 : job.nPos);
        const std::uint64_t nTo =
            bForward ? (nPass == 0 ? nSize : job.nPos) : (nPass == 0 ? job.nPos : nSize);
        std::uint64_t nPos = bForward ? nFrom : nTo;
        for (;;) {
            std::uint64_t nResume = nPos;
            outcome.eResult = bForward
                                  ? search.FindNext(nPos, nTo, nStep, outcome.match, nResume)
                                  : search.FindPrevious(nFrom, nPos, nStep, outcome.match, nResume);
            if (outcome.eResult != EFindResult::More) {
                break;
            }
            nPos = nResume;
            const std::uint64_t nDone = nPass * nSize + (bForward ? nPos - nFrom : nTo - nPos);
            if (!Step(nDone, nSize)) {
                return outcome;
            }
        }
        if (outcome.eResult != EFindResult::NotFound) {
            outcome.bWrapped = nPass == 1;
            return outcome;
        }
    }
    return outcome;
}

CFindWorker::COutcome CFindWorker::RunCount(const CJob& job, CLogSearch& search) {
    COutcome outcome;
    const std::uint64_t nSize = m_doc.GetSize();
    outcome.nSize = nSize;
    const std::uint64_t nStep = job.options.bRegex ? kPatternStep : kPlainStep;
    const std::uint64_t nSettled = std::max(job.nPos, search.SettledEnd(nSize));
    // The settled part first, kept for the next count, then the rest of the text.
    std::uint64_t nCount = 0;
    std::uint64_t nPos = job.nPos;
    for (;;) {
        outcome.eResult = search.Count(nPos, nSettled, nStep, nCount, nPos);
        if (outcome.eResult != EFindResult::More) {
            break;
        }
        if (!Step(nPos - job.nPos, nSize - job.nPos)) {
            return outcome;
        }
    }
    if (outcome.eResult == EFindResult::Changed) {
        return outcome;
    }
    outcome.nSettledCount = job.nBase + nCount;
    outcome.nSettledPos = nPos;
    while ((outcome.eResult = search.Count(nPos, nSize, nStep, nCount, nPos)) ==
           EFindResult::More) {
        if (!Step(nPos - job.nPos, nSize - job.nPos)) {
            return outcome;
        }
    }
    outcome.nCount = job.nBase + nCount;
    return outcome;
}
