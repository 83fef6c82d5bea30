// tapvane-cli's --har: the relay's records are copied into a queue as they come and turned
// into HTTP Archive entries on a thread of the archive's own (parsing HTTP and decoding
// bodies is no work for a relay thread holding the module lock); the entries go to the file
// through a writer of their own (as the capture's do), and the archive is finished when the
// run stops.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/LogFileWriter.h"
#include "export/HarBuilder.h"

class CCliHar {
public:
    // Opens the file and starts the builder's thread; null with the reason in `strError`.
    static std::unique_ptr<CCliHar> Open(const std::string& strPath,
                                         CLogFileWriter::Reporter fnReport, std::string& strError);
    ~CCliHar();
    CCliHar(const CCliHar&) = delete;
    CCliHar& operator=(const CCliHar&) = delete;

    // Relay thread, module lock held (which orders the records). Queues a copy; waits only
    // while the queue holds more than kMaxQueuedBytes, so that a slow disk slows the relay
    // rather than filling the memory.
    void OnRecord(const CLogRecord& record);
    // Any thread, once or more: the records queued so far become entries, the sessions still
    // open give theirs and the archive ends; later records are left out. A second caller
    // returns once the first is done.
    void Finish();

    CLogFileWriter& Writer() { return *m_pWriter; }

    static constexpr std::size_t kMaxQueuedBytes = 64u << 20;

private:
    // A record that owns the bytes its views point at.
    struct CQueued {
        CLogRecord record;
        std::string bytes;
        std::string strServerHost;
    };

    explicit CCliHar(std::unique_ptr<CLogFileWriter> pWriter);
    // The builder's thread: records into entries until Finish drains the queue.
    void Run();
    // Finish's caller or the destructor: ends the queue and waits for the builder's thread,
    // which makes entries of everything queued before.
    void DrainAndJoin();

    std::unique_ptr<CLogFileWriter> m_pWriter;
    CHarBuilder m_builder;  // the builder's thread, then Finish's caller after it ended

    std::mutex m_mutex;
    std::condition_variable m_cvQueued;
    std::condition_variable m_cvRoom;
    std::deque<CQueued> m_queue;
    std::size_t m_nQueuedBytes = 0;
    bool m_bDraining = false;  // Finish was called: no more records, the thread ends when idle
    std::mutex m_finishMutex;  // held for the whole of Finish
    bool m_bFinished = false;
    std::thread m_thread;
};
