// Every code the platform layer can report has a readable text.
#include "platform/SystemText.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/TextConv.h"
#include "support/SystemErrorText.h"

namespace {

TEST(SystemTextTest, EveryMappedErrnoHasAText) {
    for (int nErrno = 0; nErrno < 134; ++nErrno) {
        const DWORD dwFile = win::Win32ErrorFromErrno(nErrno);
        EXPECT_FALSE(win::GetSystemMessage(dwFile).empty())
            << "errno " << nErrno << " -> " << dwFile;
        const int nSocket = win::WsaErrorFromErrno(nErrno);
        EXPECT_FALSE(win::GetSystemMessage(static_cast<DWORD>(nSocket)).empty())
            << "errno " << nErrno << " -> " << nSocket;
    }
}

TEST(SystemTextTest, TextsEndWithALineBreakAndUnknownCodesHaveNone) {
    const std::wstring strText = GetSystemErrorText(10054);
    ASSERT_GE(strText.size(), 2u);
    EXPECT_EQ(L"\r\n", strText.substr(strText.size() - 2));
    EXPECT_TRUE(GetSystemErrorText(123456).empty());
}

}  // namespace
