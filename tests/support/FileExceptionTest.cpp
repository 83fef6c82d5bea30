#include "support/FileException.h"

#include <gtest/gtest.h>

#include <memory>

TEST(FileExceptionTest, OsErrorsMapToCauses) {
    // One code of each cause, the ends of the longer lists, and codes without a cause.
    const std::pair<LONG, int> cases[] = {
        {0, 0},   {2, 2},    {107, 2}, {3, 3},    {267, 3},  {4, 4},    {113, 4},
        {5, 5},   {999, 5},  {11, 6},  {193, 6},  {16, 7},   {145, 7},  {62, 8},
        {24, 9},  {132, 9},  {20, 10}, {997, 10}, {32, 11},  {33, 12},  {167, 12},
        {39, 13}, {112, 13}, {38, 14}, {1, 1},    {1000, 1}, {1117, 1}, {-1, 1},
    };
    for (const auto& [code, cause] : cases) {
        EXPECT_EQ(CFileException::OsErrorToCause(code), cause) << "code " << code;
    }
}

TEST(FileExceptionTest, MessageNamesTheFileOrAnUnnamedOne) {
    EXPECT_EQ(CFileException(CFileException::badPath, 3, L"/x/y").GetErrorMessage(),
              L"/x/y contains an invalid path.");
    wchar_t buf[64];
    UINT nHelp = 0;
    EXPECT_TRUE(CFileException(CFileException::fileNotFound, 2).GetErrorMessage(buf, 64, &nHelp));
    EXPECT_EQ(std::wstring(buf), L"an unnamed file was not found.");
    EXPECT_EQ(nHelp, 61858u);
}

TEST(FileExceptionTest, MessageIsCutToTheCapacity) {
    const CFileException e(CFileException::sharingViolation, 32, L"name");
    wchar_t buf[11];
    std::fill(std::begin(buf), std::end(buf), L'#');
    EXPECT_TRUE(e.GetErrorMessage(buf, 10));
    EXPECT_EQ(std::wstring(buf), L"A sharing");
    EXPECT_EQ(buf[10], L'#');  // nothing written past the capacity
    EXPECT_FALSE(e.GetErrorMessage(buf, 0));
    EXPECT_EQ(e.GetErrorMessage(5), L"A sh");
    EXPECT_EQ(CFileException(1, 1000, std::wstring(300, L'n')).GetErrorMessage().size(), 254u);
}

TEST(FileExceptionTest, ThrowOsErrorRaisesOnlyForAnError) {
    EXPECT_NO_THROW(CFileException::ThrowOsError(0, L"f"));
    try {
        CFileException::ThrowOsError(1000, L"x.txt");
        FAIL() << "nothing raised";
    } catch (CFileException* p) {
        const std::unique_ptr<CFileException> e(p);
        EXPECT_EQ(e->m_cause, CFileException::generic);
        EXPECT_EQ(e->m_lOsError, 1000);
        EXPECT_EQ(e->GetErrorMessage(), L"An unknown error occurred while accessing x.txt.");
    }
}
