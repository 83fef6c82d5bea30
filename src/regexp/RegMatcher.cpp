#include "regexp/RegMatcher.h"

#include <algorithm>
#include <memory>

#include "platform/TextConv.h"

namespace {

bool IsUpper(char16_t ch) {
    return ch >= u'A' && ch <= u'Z';
}

bool IsLower(char16_t ch) {
    return ch >= u'a' && ch <= u'z';
}

CRegProgram* NewProgram(const char16_t* pszPattern, std::size_t nLength, bool bIgnoreCase) {
    auto pProgram = std::make_unique<CRegProgram>();
    if (pszPattern != nullptr && bIgnoreCase) {
        const std::u16string strFolded =
            CRegMatcher::FoldCase(std::u16string_view(pszPattern, nLength));
        pProgram->Compile(strFolded.c_str(), strFolded.size());
    } else {
        pProgram->Compile(pszPattern, nLength);
    }
    return pProgram.release();
}

}  // namespace

CRegMatcher::CRegMatcher(const char16_t* pszPattern, bool bIgnoreCase)
    : m_pProgram(NewProgram(pszPattern,
                            pszPattern != nullptr ? std::u16string_view(pszPattern).size() : 0,
                            bIgnoreCase)) {}

CRegMatcher::CRegMatcher(std::u16string_view strPattern, bool bIgnoreCase)
    : m_pProgram(NewProgram(strPattern.data() != nullptr ? strPattern.data() : u"",
                            strPattern.size(), bIgnoreCase)) {}

CRegMatcher::CRegMatcher(std::wstring_view strPattern, bool bIgnoreCase)
    : CRegMatcher(std::u16string_view(win::WideToUtf16(strPattern)), bIgnoreCase) {}

CRegMatcher::CRegMatcher(const CRegMatcher& other)
    : m_error(other.m_error), m_pProgram(other.m_pProgram) {
    if (m_pProgram != nullptr) {
        m_pProgram->ExtraReferences().fetch_add(1, std::memory_order_relaxed);
    }
    CopySubject(other);
}

CRegMatcher& CRegMatcher::operator=(const CRegMatcher& other) {
    if (this == &other) {
        return *this;
    }
    // Take the new reference before dropping the old one: both may be the same program.
    if (other.m_pProgram != nullptr) {
        other.m_pProgram->ExtraReferences().fetch_add(1, std::memory_order_relaxed);
    }
    Release();
    m_pProgram = other.m_pProgram;
    m_error = other.m_error;
    CopySubject(other);
    return *this;
}

CRegMatcher::~CRegMatcher() {
    Release();
}

void CRegMatcher::Release() {
    // The holder that finds no other holders deletes the program.
    if (m_pProgram != nullptr &&
        m_pProgram->ExtraReferences().fetch_sub(1, std::memory_order_acq_rel) == 0) {
        delete m_pProgram;
    }
    m_pProgram = nullptr;
}

void CRegMatcher::CopySubject(const CRegMatcher& other) {
    m_nSubjectLength = other.m_nSubjectLength;
    m_bOwnSubject = other.m_bOwnSubject;
    if (m_bOwnSubject) {
        m_strOwnSubject = other.m_strOwnSubject;
        m_pSubject = m_strOwnSubject.data();
    } else {
        m_strOwnSubject.clear();
        m_pSubject = other.m_pSubject;
    }
}

std::u16string CRegMatcher::FoldCase(std::u16string_view strPattern) {
    std::u16string strFolded;
    strFolded.reserve(4 * strPattern.size() + 1);
    bool bInBrackets = false;
    for (const char16_t ch : strPattern) {
        if (ch == u']') {
            bInBrackets = false;
        } else if (ch == u'[') {
            bInBrackets = true;
        }
        if (bInBrackets || !(IsUpper(ch) || IsLower(ch))) {
            strFolded.push_back(ch);
        } else {
            const char16_t chUpper = IsLower(ch) ? static_cast<char16_t>(ch - u'a' + u'A') : ch;
            const char16_t chLower = IsUpper(ch) ? static_cast<char16_t>(ch - u'A' + u'a') : ch;
            strFolded.append({u'[', chUpper, chLower, u']'});
        }
    }
    return strFolded;
}

bool CRegMatcher::Begin() {
    m_error.ClearError();
    if (m_pProgram == nullptr) {
        m_error.SetError(REGERR_NULL_PROGRAM);
        return false;
    }
    // A shared program's text belongs to every holder; only its sole holder may write it.
    if (m_pProgram->ExtraReferences().load(std::memory_order_acquire) == 0) {
        m_pProgram->ClearError();
    }
    return true;
}

bool CRegMatcher::MatchText(const char16_t* pSubject, std::size_t nLength) {
    m_error.ClearError();
    if (m_pProgram == nullptr) {
        m_error.SetError(REGERR_NULL_PROGRAM);
        return false;
    }
    // Matching writes the results into the program: a shared one is copied first, so that
    // no other holder sees its results change.
    if (m_pProgram->ExtraReferences().load(std::memory_order_acquire) != 0) {
        CRegProgram* pCopy = m_pProgram->Clone().release();
        Release();
        m_pProgram = pCopy;
    }
    m_pProgram->ClearError();
    m_pSubject = pSubject;
    m_nSubjectLength = nLength;
    return m_pProgram->Match(pSubject, nLength);
}

bool CRegMatcher::Match(const char16_t* pszSubject) {
    m_bOwnSubject = false;
    m_strOwnSubject.clear();
    return MatchText(pszSubject,
                     pszSubject != nullptr ? std::u16string_view(pszSubject).size() : 0);
}

bool CRegMatcher::Match(std::u16string_view strSubject) {
    m_bOwnSubject = false;
    m_strOwnSubject.clear();
    return MatchText(strSubject.data() != nullptr ? strSubject.data() : u"", strSubject.size());
}

bool CRegMatcher::Match(std::wstring_view strSubject) {
    m_strOwnSubject = win::WideToUtf16(strSubject);
    m_bOwnSubject = true;
    return MatchText(m_strOwnSubject.data(), m_strOwnSubject.size());
}

int CRegMatcher::GetSubCount() {
    if (!Begin()) {
        return -1;
    }
    return m_pProgram->GetSubCount();
}

bool CRegMatcher::FindGroup(int nIndex, std::size_t* pnStart, std::size_t* pnLength) const {
    if (nIndex < 0 || nIndex >= kRegGroups || m_pSubject == nullptr) {
        return false;
    }
    const std::ptrdiff_t nStart = m_pProgram->GetGroupStart(nIndex);
    const std::ptrdiff_t nEnd = m_pProgram->GetGroupEnd(nIndex);
    // A group whose end was not reached in the recorded path (or that lies outside the
    // subject) is unset.
    if (nStart < 0 || nEnd < nStart || static_cast<std::size_t>(nEnd) > m_nSubjectLength) {
        return false;
    }
    *pnStart = static_cast<std::size_t>(nStart);
    *pnLength = static_cast<std::size_t>(nEnd - nStart);
    return true;
}

int CRegMatcher::GetSubStart(int nIndex) {
    std::size_t nStart = 0;
    std::size_t nLength = 0;
    if (!Begin() || !FindGroup(std::min(nIndex, kRegGroups - 1), &nStart, &nLength)) {
        return -1;
    }
    return static_cast<int>(nStart);
}

int CRegMatcher::GetSubLength(int nIndex) {
    std::size_t nStart = 0;
    std::size_t nLength = 0;
    if (!Begin() || !FindGroup(std::min(nIndex, kRegGroups - 1), &nStart, &nLength)) {
        return -1;
    }
    return static_cast<int>(nLength);
}

std::u16string CRegMatcher::GetSubString16(int nIndex) {
    std::size_t nStart = 0;
    std::size_t nLength = 0;
    if (!Begin() || !FindGroup(nIndex, &nStart, &nLength)) {
        return {};
    }
    return std::u16string(m_pSubject + nStart, nLength);
}

std::wstring CRegMatcher::GetSubString(int nIndex) {
    return win::Utf16ToWide(GetSubString16(nIndex));
}

bool CRegMatcher::IsCompiled() const {
    return m_pProgram != nullptr && m_pProgram->IsCompiled();
}

const std::wstring& CRegMatcher::GetErrorText() const {
    return m_pProgram != nullptr ? m_pProgram->GetErrorText() : m_error.GetErrorText();
}
