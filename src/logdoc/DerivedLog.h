// A presentation of the traffic log built from its block records, for the view to show in
// place of the log: every session or only one (its blocks with their marker lines), each
// block's data as the log's text or as a hex dump (see HexDump.h). Marker lines stay as
// they are, bold; in the hex dump of every session the log's other lines (session starts
// and ends, errors) stay too. The presentation is a CLogDocument of its own, with a block
// record beside each block it shows, so that the view's timestamps work on it as on the
// log.
//
// It follows the log: CatchUp takes in what was appended since the last call, a bounded
// amount at a time, so that the GUI thread can call it on a timer without waiting long.
// When the log is emptied or loaded, the presentation empties too; a presentation of one
// session then stays empty (the session is gone).
//
// Threads: one thread (the GUI's) makes it and calls every method; the relay threads
// append to the source log meanwhile. The source's records are read under their own lock
// and only whole blocks are taken in, in log order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "logdoc/BlockRecords.h"

class CLogDocument;

class CDerivedLog {
public:
    enum class Format { Text, Hex };
    static constexpr std::uint32_t kAllSessions = UINT32_MAX;
    // Bytes of the source that one CatchUp takes in by default: a few milliseconds.
    static constexpr std::size_t kDefaultBudget = 512 * 1024;

    // nSessionRow: a row of the source's session table, or kAllSessions. Takes in nothing
    // yet: call CatchUp.
    CDerivedLog(const CLogDocument& source, std::uint32_t nSessionRow, Format format);
    ~CDerivedLog();
    CDerivedLog(const CDerivedLog&) = delete;
    CDerivedLog& operator=(const CDerivedLog&) = delete;

    // GUI thread. Takes in blocks (and, for every session, the text between them) appended
    // since the last call: about nBudget bytes of the source, at least one block. True
    // when nothing is left to take in now.
    bool CatchUp(std::size_t nBudget = kDefaultBudget);

    // Whether this presentation of one session lost its session to a clear or load of
    // the log.
    bool SessionGone() const { return m_bSessionGone; }
    CLogDocument& Document() { return *m_pDoc; }
    const CLogDocument& Document() const { return *m_pDoc; }
    std::uint32_t SessionRow() const { return m_nSessionRow; }
    Format GetFormat() const { return m_format; }

private:
    bool AllSessions() const { return m_nSessionRow == kAllSessions; }
    // Copies the source's text [m_nCursor, nTo) with its bold runs, about nBudget bytes of
    // it (cut after a line break where one is near); true when it reached nTo.
    bool CopyUpTo(std::uint64_t nTo, std::size_t& nBudget);
    // Copies [nFrom, nTo) of the source with its bold runs.
    void CopyStyled(std::uint64_t nFrom, std::uint64_t nTo);
    // Takes in one block of the source (record number nIndex); the bytes of the source
    // it took.
    std::size_t TakeBlock(const CBlockRecord& block);
    void Restart();

    const CLogDocument& m_source;
    const std::uint32_t m_nSessionRow;
    const Format m_format;
    std::unique_ptr<CLogDocument> m_pDoc;
    std::uint64_t m_nSeenResets = 0;
    bool m_bSessionGone = false;     // one session's presentation after a clear
    std::uint64_t m_nNextBlock = 0;  // the first record not taken in
    // The source's text taken in or passed over so far: the end of the last block's text
    // (and, for every session, of the text after it taken in).
    std::uint64_t m_nCursor = 0;
    // Buffers kept between calls.
    std::vector<CBlockRecord> m_chunk;
    std::string m_raw;
    std::string m_text;
};
