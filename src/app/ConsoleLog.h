// The traffic log of the headless front end: written to the standard output (marker and
// session lines in bold with ANSI codes when it is a terminal) and, optionally, to a file as
// plain text, each through a batching writer of its own.
#pragma once

#include <mutex>
#include <string>

#include "app/LogFileWriter.h"
#include "module/MainWindow.h"

class CConsoleLog : public ILogSink {
public:
    // `pOut` may be null (no stream); `pFile` may be null (no file). Neither is owned.
    CConsoleLog(CLogFileWriter* pOut, bool bAnsi, CLogFileWriter* pFile);

    // Any thread (the module lock orders the calls). Each block is queued whole, behind
    // the ones before it.
    void AppendLog(std::wstring_view text, int nStyle) override;
    void AppendLogBytes(std::string_view bytes, int nStyle) override;
    void AppendLogUtf8(std::string_view text, int nStyle) override;

private:
    // m_mutex held: queues the bytes with the style; `bBlock`: a relayed block's bytes,
    // which the writers make into text.
    void Write(std::string_view bytes, int nStyle, bool bBlock = false);

    std::mutex m_mutex;
    CLogFileWriter* m_pOut;
    bool m_bAnsi;
    CLogFileWriter* m_pFile;
    bool m_bBold = false;
    std::string m_strStyled;  // reused: a bold block between its ANSI codes
};
