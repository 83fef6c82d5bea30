// tapvane-cli's --har: the relay's records go into an HTTP Archive builder as they come,
// its entries to the file through a writer of its own (as the capture's do), and the
// archive is finished when the run stops.
//
// Threads: OnRecord from the relay threads (module lock held); Finish from the main or the
// control thread. One mutex orders them.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "app/LogFileWriter.h"
#include "export/HarBuilder.h"

class CCliHar {
public:
    // Opens the file; null with the reason in `strError`.
    static std::unique_ptr<CCliHar> Open(const std::string& strPath,
                                         CLogFileWriter::Reporter fnReport, std::string& strError);

    // Relay thread, module lock held.
    void OnRecord(const CLogRecord& record);
    // Any thread, once or more: the sessions still open give their entries and the archive
    // ends; later records are left out.
    void Finish();

    CLogFileWriter& Writer() { return *m_pWriter; }

private:
    explicit CCliHar(std::unique_ptr<CLogFileWriter> pWriter);

    std::unique_ptr<CLogFileWriter> m_pWriter;
    std::mutex m_mutex;
    CHarBuilder m_builder;
    bool m_bFinished = false;
};
