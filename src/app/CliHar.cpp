#include "app/CliHar.h"

std::unique_ptr<CCliHar> CCliHar::Open(const std::string& strPath,
                                       CLogFileWriter::Reporter fnReport, std::string& strError) {
    CLogWriterLimits limits;
    limits.bNoteGaps = false;  // a line of text would break the archive's JSON
    std::unique_ptr<CLogFileWriter> pWriter =
        CLogFileWriter::Open(strPath, std::move(fnReport), strError, limits, "HTTP archive");
    if (!pWriter) {
        return nullptr;
    }
    return std::unique_ptr<CCliHar>(new CCliHar(std::move(pWriter)));
}

CCliHar::CCliHar(std::unique_ptr<CLogFileWriter> pWriter)
    : m_pWriter(std::move(pWriter)),
      m_builder([p = m_pWriter.get()](std::string_view bytes) { p->Append(bytes); }),
      m_thread([this] { Run(); }) {}

CCliHar::~CCliHar() {
    DrainAndJoin();
}

void CCliHar::DrainAndJoin() {
    {
        std::lock_guard lock(m_mutex);
        m_bDraining = true;
    }
    m_cvQueued.notify_one();
    m_cvRoom.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CCliHar::OnRecord(const CLogRecord& record) {
    CQueued queued{record, std::string(record.bytes), std::string(record.strServerHost)};
    const std::size_t nBytes = queued.bytes.size();
    std::unique_lock lock(m_mutex);
    m_cvRoom.wait(lock, [this] { return m_bDraining || m_nQueuedBytes <= kMaxQueuedBytes; });
    if (m_bDraining) {
        return;
    }
    m_queue.push_back(std::move(queued));
    m_nQueuedBytes += nBytes;
    if (m_queue.size() == 1) {
        m_cvQueued.notify_one();
    }
}

void CCliHar::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cvQueued.wait(lock, [this] { return !m_queue.empty() || m_bDraining; });
        if (m_queue.empty()) {
            return;  // draining, and everything queued before it is in the archive
        }
        CQueued queued = std::move(m_queue.front());
        m_queue.pop_front();
        m_nQueuedBytes -= queued.bytes.size();
        lock.unlock();
        m_cvRoom.notify_all();
        // The views now point at this copy's own strings.
        queued.record.bytes = queued.bytes;
        queued.record.strServerHost = queued.strServerHost;
        m_builder.OnRecord(queued.record);
        lock.lock();
    }
}

void CCliHar::Finish() {
    const std::lock_guard finishLock(m_finishMutex);
    if (m_bFinished) {
        return;
    }
    DrainAndJoin();
    m_bFinished = true;
    m_builder.Finish();
}
