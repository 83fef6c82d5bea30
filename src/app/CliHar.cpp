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
      m_builder([p = m_pWriter.get()](std::string_view bytes) { p->Append(bytes); }) {}

void CCliHar::OnRecord(const CLogRecord& record) {
    const std::lock_guard lock(m_mutex);
    if (!m_bFinished) {
        m_builder.OnRecord(record);
    }
}

void CCliHar::Finish() {
    const std::lock_guard lock(m_mutex);
    if (!m_bFinished) {
        m_bFinished = true;
        m_builder.Finish();
    }
}
