#include "regexp/RegError.h"

namespace {

struct SRegErrorText {
    int nCode;
    const wchar_t* pszText;
};

// Ended by code 0, whose text stands for every code not listed.
constexpr SRegErrorText kErrorTexts[] = {
    {REGERR_NULL_SUBJECT, L"NULL argument to regexec"},
    {REGERR_CORRUPTED_PROGRAM, L"corrupted regexp"},
    {REGERR_CORRUPTION, L"regexp corruption"},
    {REGERR_CORRUPTED_POINTERS, L"corrupted pointers"},
    {REGERR_BAD_REPEAT, L"internal error: bad call of regrepeat"},
    {REGERR_CORRUPTED_OPCODE, L"corrupted opcode"},
    {REGERR_NULL_SUBST, L"NULL parm to regsub"},
    {REGERR_DAMAGED_SUBST, L"damaged regexp fed to regsub"},
    {REGERR_DAMAGED_MATCH, L"damaged match string"},
    {REGERR_NULL_PATTERN, L"NULL argument to regcomp"},
    {REGERR_TOO_BIG, L"regexp too big"},
    {REGERR_TOO_MANY_GROUPS, L"too many ()"},
    {REGERR_UNTERMINATED_GROUP, L"unterminated ()"},
    {REGERR_UNMATCHED_GROUP, L"unmatched ()"},
    {REGERR_JUNK_ON_END, L"internal error: junk on end"},
    {REGERR_EMPTY_OPERAND, L"*+ operand could be empty"},
    {REGERR_NESTED_REPEAT, L"nested *?+"},
    {REGERR_INVALID_RANGE, L"invalid [] range"},
    {REGERR_UNMATCHED_SET, L"unmatched []"},
    {REGERR_UNEXPECTED_END, L"internal error: \\0|) unexpected"},
    {REGERR_REPEAT_FOLLOWS_NOTHING, L"?+* follows nothing"},
    {REGERR_TRAILING_BACKSLASH, L"trailing \\"},
    {REGERR_STRCSPN, L"internal error: strcspn 0"},
    {REGERR_NULL_PROGRAM, L"NULL regexp"},
    {REGERR_TOO_DEEP, L"regexp recursion too deep"},
    {REGERR_TOO_COSTLY, L"regexp match too costly"},
    {0, L"Unknown error"},
};

}  // namespace

const wchar_t* CRegErrorHandler::GetErrorTextOf(int nCode) {
    const SRegErrorText* p = kErrorTexts;
    while (p->nCode != 0 && p->nCode != nCode) {
        ++p;
    }
    return p->pszText;
}
