// The traffic log of the headless front end: written to a stream as it comes (marker and
// session lines in bold with ANSI codes when the stream is a terminal) and, optionally, to
// a file as plain text.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "module/MainWindow.h"

class CConsoleLog : public ILogSink {
public:
    // `pOut` may be null (no stream); `pFile` may be null (no file). Neither is closed here.
    CConsoleLog(std::FILE* pOut, bool bAnsi, std::FILE* pFile);

    // Any thread (the module lock orders the calls). Each block is written out at once.
    void AppendLog(std::wstring_view text, int nStyle) override;
    void AppendLogBytes(std::string_view bytes, int nStyle) override;
    void AppendLogUtf8(std::string_view text, int nStyle) override;

    void Flush();

private:
    // m_mutex held: writes the bytes with the style.
    void Write(std::string_view bytes, int nStyle);

    std::mutex m_mutex;
    std::FILE* m_pOut;
    bool m_bAnsi;
    std::FILE* m_pFile;
    bool m_bBold = false;
    std::vector<char> m_buffer;  // reused conversion buffer
};
