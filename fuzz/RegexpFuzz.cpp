// Compiles an arbitrary pattern and matches it against an arbitrary subject, checking that
// nothing crashes, every match ends within the bounds, and the results hang together.
//
// Input: one byte of options (bit 0: ignore case; bit 1: also match through a copy and
// through the wide-text overload), the pattern, a zero byte, the subject. In pattern and
// subject, the byte 0xFF followed by two bytes (low first) stands for any 16-bit unit, so
// that zero, surrogates and characters above 255 can occur; any other byte is the unit of
// the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/TextConv.h"
#include "regexp/RegMatcher.h"

namespace {

std::u16string Decode(const std::uint8_t* p, std::size_t n) {
    std::u16string str;
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] == 0xFF && i + 2 < n) {
            str.push_back(static_cast<char16_t>(p[i + 1] | (p[i + 2] << 8)));
            i += 2;
        } else {
            str.push_back(p[i]);
        }
    }
    return str;
}

void Check(bool bCondition) {
    if (!bCondition) {
        std::abort();
    }
}

// The results of the last Match must describe groups inside the subject.
void CheckResults(CRegMatcher& re, bool bMatched, const std::u16string& strSubject) {
    const int nCount = re.GetSubCount();
    if (!bMatched) {
        Check(nCount == -1);
        Check(re.GetSubStart(0) == -1);
        return;
    }
    Check(re.GetErrorText().empty());
    Check(nCount >= 0 && nCount <= 9);
    for (int i = 0; i < 10; ++i) {
        const int nStart = re.GetSubStart(i);
        const int nLength = re.GetSubLength(i);
        if (i <= nCount) {
            Check(nStart >= 0);
        }
        if (nStart < 0) {
            Check(nLength == -1 && re.GetSubString16(i).empty());
            continue;
        }
        Check(nLength >= 0 && static_cast<std::size_t>(nStart + nLength) <= strSubject.size());
        Check(re.GetSubString16(i) == strSubject.substr(nStart, nLength));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    if (nSize < 1) {
        return 0;
    }
    const bool bIgnoreCase = (pData[0] & 1) != 0;
    const bool bCopies = (pData[0] & 2) != 0;
    const std::uint8_t* pRest = pData + 1;
    const std::size_t nRest = nSize - 1;
    std::size_t nSplit = 0;
    while (nSplit < nRest && pRest[nSplit] != 0) {
        ++nSplit;
    }
    const std::u16string strPattern = Decode(pRest, nSplit);
    const std::u16string strSubject =
        nSplit < nRest ? Decode(pRest + nSplit + 1, nRest - nSplit - 1) : std::u16string();

    CRegMatcher re(strPattern, bIgnoreCase);
    const bool bMatched = re.Match(strSubject);
    if (!re.IsCompiled()) {
        Check(!bMatched && re.GetErrorText() == L"corrupted regexp");
        return 0;
    }
    CheckResults(re, bMatched, strSubject);
    const int nStart = re.GetSubStart(0);
    const int nLength = re.GetSubLength(0);

    if (bCopies) {
        // A copy shares the program until it matches; both must then agree.
        CRegMatcher copy(re);
        Check(copy.GetSubStart(0) == nStart);
        Check(copy.Match(strSubject) == bMatched);
        CheckResults(copy, bMatched, strSubject);
        Check(copy.GetSubStart(0) == nStart && copy.GetSubLength(0) == nLength);
        Check(re.GetSubStart(0) == nStart);
        // Through wide text: the same units come back when the subject converts losslessly.
        const std::wstring strWide = win::Utf16ToWide(strSubject);
        if (win::WideToUtf16(strWide) == strSubject) {
            Check(copy.Match(std::wstring_view(strWide)) == bMatched);
            Check(copy.GetSubStart(0) == nStart && copy.GetSubLength(0) == nLength);
        }
    }
    return 0;
}
