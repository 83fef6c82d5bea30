// Text of a named character set converted to UTF-16 through the system's iconv, a piece at
// a time: a character that the end of a piece cuts waits for the rest of its bytes.
#pragma once

#include <memory>
#include <string>
#include <string_view>

class CCharsetConverter {
public:
    // A converter from `strCharset` (a name as HTTP gives it: "utf-8", "ISO-8859-1",
    // "windows-1252", "Shift_JIS"...; quotes and case do not matter). Nothing for a name
    // that the system does not know. ISO-8859-1 and US-ASCII are read as Windows-1252, as
    // browsers read them.
    static std::unique_ptr<CCharsetConverter> Create(std::string_view strCharset);

    ~CCharsetConverter();
    CCharsetConverter(const CCharsetConverter&) = delete;
    CCharsetConverter& operator=(const CCharsetConverter&) = delete;

    // Appends the UTF-16 code units of `bytes` to `out`. A byte sequence that is no character
    // of the set becomes U+FFFD (in Windows-1252, its five unused bytes become the control
    // characters of the same value); the start of a character at the end is held back.
    void Convert(std::string_view bytes, std::u16string& out);
    // The end of the text: a held-back start of a character becomes U+FFFD.
    void Finish(std::u16string& out);

private:
    CCharsetConverter(void* pIconv, bool bWindows1252);
    void Run(std::string_view bytes, std::u16string& out, bool bFinal);

    void* m_pIconv;  // iconv_t
    bool m_bWindows1252;
    std::string m_strTail;  // the start of a character cut at the end of the last piece
};

// The charset parameter of a Content-Type value ("text/html; charset=utf-8"), without
// quotes; empty when there is none.
std::string ContentTypeCharset(std::string_view strContentType);
