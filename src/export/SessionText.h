// The text of one session as the log shows it: its blocks, each under its marker line, in
// order, read from the log's text where the records say they are. The leading line break
// of the first marker line is left out.
//
// Threads: any thread (the GUI's), while the relay appends to the log.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class CLogDocument;

// Hands the text of session row `nRow` to `fnPiece` a block at a time, every line break
// written as `eol`. False when the row has no blocks.
bool ForEachSessionText(const CLogDocument& doc, std::uint32_t nRow, std::string_view eol,
                        const std::function<void(std::string_view)>& fnPiece);

// The whole text, at most `nMax` bytes of it (cut at a block's end, past the first block).
std::string SessionText(const CLogDocument& doc, std::uint32_t nRow, std::string_view eol,
                        std::size_t nMax = SIZE_MAX);

// Writes the text to `strPath` with CR LF line breaks, as a saved log has them. 0 or the
// errno (ENOENT: the row has no blocks).
int SaveSessionText(const CLogDocument& doc, std::uint32_t nRow, const std::string& strPath);
