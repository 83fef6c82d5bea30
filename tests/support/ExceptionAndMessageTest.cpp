#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/Exception.h"
#include "support/ShowMessage.h"

namespace {

TEST(CException, KeepsBothTexts) {
    const CException e(L"first", L"second");
    EXPECT_EQ(e.GetText(), L"first");
    EXPECT_EQ(e.GetText2(), L"second");

    const CException w(std::wstring(L"wide"), std::wstring(L"wide 2"));
    EXPECT_EQ(w.GetText(), L"wide");
    EXPECT_EQ(w.GetText2(), L"wide 2");
}

TEST(CException, MissingTextsAreEmpty) {
    const CException e(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(e.GetText(), L"");
    EXPECT_EQ(e.GetText2(), L"");

    const CException only(L"only");
    EXPECT_EQ(only.GetText(), L"only");
    EXPECT_EQ(only.GetText2(), L"");
}

TEST(CException, TextsAreCopies) {
    wchar_t sz[] = L"before";
    const CException e(sz, sz);
    sz[0] = L'X';
    EXPECT_EQ(e.GetText(), L"before");
    EXPECT_EQ(e.GetText2(), L"before");
}

TEST(CException, FormatUsesThePrintfRules) {
    const std::unique_ptr<CException> e(
        CException::Format(L"SetEvent(0x%x) failed! %s", 0x104u, L"The handle is invalid."));
    EXPECT_EQ(e->GetText(), L"SetEvent(0x104) failed! The handle is invalid.");
    EXPECT_EQ(e->GetText2(), L"");
}

TEST(CException, FormatCutsALongResultTo1023Units) {
    const std::wstring fits(1023, L'a');
    const std::unique_ptr<CException> whole(CException::Format(L"%s", fits));
    EXPECT_EQ(whole->GetText(), fits);

    const std::unique_ptr<CException> cut(CException::Format(L"%s%s", fits, std::wstring(L"bcd")));
    EXPECT_EQ(cut->GetText(), fits);
}

// The presenter's view of one call.
struct CBoxCall {
    HWND hwndOwner;
    std::wstring strText;
    std::wstring strTitle;
    UINT nType;
};

class ShowMessageTest : public testing::Test {
protected:
    void TearDown() override {
        SetMessageBoxPresenter(nullptr);
        SetActiveWindowSource(nullptr);
    }

    // Installs a presenter that records its calls and answers `nAnswer`.
    void InstallRecorder(int nAnswer) {
        SetMessageBoxPresenter([this, nAnswer](HWND hwnd, const std::wstring& strText,
                                               const std::wstring& strTitle, UINT nType) {
            m_calls.push_back({hwnd, strText, strTitle, nType});
            return nAnswer;
        });
    }

    std::vector<CBoxCall> m_calls;
    int m_nWindow = 0;  // its address stands for a window
    int m_nOther = 0;
};

TEST_F(ShowMessageTest, WithoutOwnerOrActiveWindowTheDesktopOwnsTheBox) {
    InstallRecorder(IDRETRY);
    const UINT nType = MB_RETRYCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2;
    EXPECT_EQ(ShowMessage(L"Listening failed", nType), IDRETRY);
    ASSERT_EQ(m_calls.size(), 1u);
    EXPECT_NE(GetDesktopWindow(), nullptr);
    EXPECT_EQ(m_calls[0].hwndOwner, GetDesktopWindow());
    EXPECT_EQ(m_calls[0].strText, L"Listening failed");
    EXPECT_EQ(m_calls[0].strTitle, L"");
    EXPECT_EQ(m_calls[0].nType, nType);
}

TEST_F(ShowMessageTest, ActiveWindowOwnsTheBox) {
    InstallRecorder(IDOK);
    SetActiveWindowSource([this] { return static_cast<HWND>(&m_nWindow); });
    ShowMessage(L"text", MB_OK);
    ASSERT_EQ(m_calls.size(), 1u);
    EXPECT_EQ(m_calls[0].hwndOwner, &m_nWindow);
}

TEST_F(ShowMessageTest, NoActiveWindowFallsBackToTheDesktop) {
    InstallRecorder(IDOK);
    SetActiveWindowSource([] { return static_cast<HWND>(nullptr); });
    ShowMessage(L"text", MB_OK);
    ASSERT_EQ(m_calls.size(), 1u);
    EXPECT_EQ(m_calls[0].hwndOwner, GetDesktopWindow());
}

TEST_F(ShowMessageTest, ExplicitOwnerWins) {
    InstallRecorder(IDOK);
    SetActiveWindowSource([this] { return static_cast<HWND>(&m_nWindow); });
    ShowMessage(L"text", MB_OK, &m_nOther);
    ASSERT_EQ(m_calls.size(), 1u);
    EXPECT_EQ(m_calls[0].hwndOwner, &m_nOther);
}

TEST_F(ShowMessageTest, WithoutPresenterTheTextGoesToStderrAndTheDefaultAnswers) {
    testing::internal::CaptureStderr();
    const int nAnswer = ShowMessage(L"Close the open sessions?", MB_YESNO | MB_DEFBUTTON2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Close the open sessions?\n");
    EXPECT_EQ(nAnswer, IDNO);
}

TEST(DefaultButton, IsTheChosenButtonOfTheBox) {
    EXPECT_EQ(DefaultButton(MB_OK), IDOK);
    EXPECT_EQ(DefaultButton(MB_OKCANCEL | MB_DEFBUTTON2), IDCANCEL);
    EXPECT_EQ(DefaultButton(MB_ABORTRETRYIGNORE), IDABORT);
    EXPECT_EQ(DefaultButton(MB_ABORTRETRYIGNORE | MB_DEFBUTTON2), IDRETRY);
    EXPECT_EQ(DefaultButton(MB_ABORTRETRYIGNORE | MB_DEFBUTTON3), IDIGNORE);
    EXPECT_EQ(DefaultButton(MB_YESNOCANCEL | MB_DEFBUTTON3), IDCANCEL);
    EXPECT_EQ(DefaultButton(MB_YESNO), IDYES);
    EXPECT_EQ(DefaultButton(MB_RETRYCANCEL | MB_DEFBUTTON2), IDCANCEL);
    // Icons do not change the buttons.
    EXPECT_EQ(DefaultButton(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(DefaultButton(MB_OKCANCEL | MB_ICONERROR), IDOK);
}

}  // namespace
