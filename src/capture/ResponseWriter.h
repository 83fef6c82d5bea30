// The files of the saved responses of one connection, written on a thread of their own.
//
// The relay only queues what is to be written (in order, without waiting, also while it
// holds the module lock); this writer's thread opens, writes and closes the files. So a
// slow disk, a full one or a name that cannot be opened holds up the saving of this one
// connection and nothing else. The queue is bounded: once more than kMaxQueued bytes
// wait, the connection's own relay waits for the writer (WaitForRoom, outside any lock),
// and a writer that takes nothing for kStallLimit has the rest of its response dropped.
//
// Every file is opened below the data folder without following links (OpenBeneath),
// readable by its owner only; a write that fails leaves the file renamed with ".partial"
// added to its name. Failures and the save lines go to the traffic log.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class CResponseWriter {
public:
    static constexpr std::size_t kMaxQueued = 256 * 1024;
    static constexpr auto kStallLimit = std::chrono::seconds(10);
    static constexpr auto kFinishLimit = std::chrono::seconds(10);
    static constexpr std::wstring_view kPartialSuffix = L".partial";

    // `stallLimit`: how long the relay waits for a writer that takes nothing (tests shorten
    // it).
    explicit CResponseWriter(std::chrono::milliseconds stallLimit = kStallLimit)
        : m_stallLimit(stallLimit) {}
    // The owner's thread, once it queues nothing more: as Finish.
    ~CResponseWriter();
    CResponseWriter(const CResponseWriter&) = delete;
    CResponseWriter& operator=(const CResponseWriter&) = delete;

    // Owner's thread, never waits: a response to be saved under `strPath`, which lies below
    // the data folder `strRoot`, begins; the file of the one before is closed.
    void Begin(const std::wstring& strRoot, const std::wstring& strPath);
    // Owner's thread, never waits: body bytes. The file is created (or emptied) at the first
    // of them, with the byte-order mark FF FE first when `bText`.
    void Write(std::string_view bytes, bool bText);
    // Owner's thread, never waits: what was written of this response is dropped; the next
    // Write creates the file again.
    void Restart();
    // Owner's thread, never waits: a line for the traffic log, after what was queued before.
    void Note(const std::wstring& strText);
    // Owner's thread, never waits: the response is over and its file is closed.
    void End();
    // Owner's thread, no lock held: waits while more than kMaxQueued bytes are queued, until
    // `fnStop` returns true.
    void WaitForRoom(const std::function<bool()>& fnStop);
    // Owner's thread: waits (at most kFinishLimit) until everything queued is written and
    // closed, and ends the writer's thread. A writer stuck longer is left to end by itself.
    void Finish();

    // Any thread: the bytes waiting to be written.
    std::size_t QueuedBytes() const;

private:
    enum class Kind { Begin, Write, Restart, Note, End, Cut };
    struct COp {
        Kind kind = Kind::Note;
        std::wstring strText;  // Begin: the path; Note, Cut: the text
        std::wstring strRoot;  // Begin
        std::string bytes;     // Write
        bool bText = false;    // Write
    };
    // Shared with the writer's thread, which keeps it alive when it is left behind.
    struct CShared {
        mutable std::mutex mutex;
        std::condition_variable cvWork;
        std::condition_variable cvRoom;
        std::deque<COp> ops;
        std::size_t nBytes = 0;
        std::uint64_t nProgress = 0;  // ops done, so that a stall shows
        bool bBusy = false;           // an op is being carried out
        bool bQuit = false;
        bool bDone = false;
    };
    class CFileState;

    void Push(COp op);
    // The writer's thread.
    static void Run(const std::shared_ptr<CShared>& pShared);
    // Owner's thread, shared lock held: the writes of the current response still queued are
    // dropped and its file is marked as cut.
    void DropCurrent(std::unique_lock<std::mutex>& lock);

    const std::chrono::milliseconds m_stallLimit;
    std::shared_ptr<CShared> m_pShared;
    std::thread m_thread;
    bool m_bNoThread = false;  // the thread could not start: nothing is saved
    bool m_bDropping = false;  // the rest of the current response is not saved
};
