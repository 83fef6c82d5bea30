#include "capture/ResponseFile.h"

#include <filesystem>

#include "RelayFixture.h"
#include "platform/TextConv.h"

namespace {

using namespace std::string_literals;

// The log lines need the main window of the fixture.
class ResponseFileTest : public test::RelayFixture {
protected:
    CTempFolder m_files;
};

TEST_F(ResponseFileTest, TextFileStartsWithTheMarkAndHoldsUtf16LittleEndian) {
    const std::wstring strPath = m_files.WPath("new/folders/page.html");
    CResponseFile file;
    file.OpenResponse(strPath, true);
    ASSERT_TRUE(file.IsOpen());
    EXPECT_TRUE(m_log.Contains(L"\nSave to \"" + strPath + L"\"\n"));
    file.WriteText(std::wstring(L"a\u00e9\0\u20ac\U0001F600\r\n", 7));
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(
        "\xff\xfe"
        "a\0\xe9\0\0\0\xac\x20\x3d\xd8\x00\xde\r\0\n\0"s,
        m_files.ReadFile("new/folders/page.html"));
}

TEST_F(ResponseFileTest, BinaryFileTakesTheBytesAsTheyAre) {
    CResponseFile file;
    file.OpenResponse(m_files.WPath("logo.png"), false);
    const std::string bytes = "\x89PNG\0\r\n"s;
    file.Write(bytes.data(), static_cast<UINT>(bytes.size()));
    // Open already: a second name is not even created.
    file.OpenResponse(m_files.WPath("other.png"), true);
    file.Write("!", 1);
    file.Close();
    EXPECT_EQ(bytes + "!", m_files.ReadFile("logo.png"));
    EXPECT_FALSE(std::filesystem::exists(m_files.Path("other.png")));
    // An existing file is emptied.
    file.OpenResponse(m_files.WPath("logo.png"), false);
    file.Close();
    EXPECT_EQ("", m_files.ReadFile("logo.png"));
}

TEST_F(ResponseFileTest, FailureIsLoggedAndTheFileStaysClosed) {
    m_files.WriteFile("plain", "not a folder");
    const std::wstring strPath = m_files.WPath("plain/sub/file.txt");
    CResponseFile file;
    file.OpenResponse(strPath, true);
    EXPECT_FALSE(file.IsOpen());
    // The folder that cannot be made is the file in the way, which the line names.
    const std::wstring strStart = L"\nOpen \"" + strPath + L"\" failed! CreateDirectory '" +
                                  m_files.WPath("plain") + L"' failed: ";
    const std::vector<test::CLogRow> rows = m_log.Rows();
    ASSERT_EQ(2u, rows.size());
    EXPECT_TRUE(rows[0].text.starts_with(strStart)) << win::WideToAnsi(rows[0].text);
    EXPECT_TRUE(
        rows[0].text.ends_with(L"\n'" + m_files.WPath("plain") + L"' is a file, not a folder.\n\n"))
        << win::WideToAnsi(rows[0].text);
    EXPECT_EQ(1, rows[0].nStyle);
    EXPECT_EQ((test::CLogRow{L"", 2}), rows[1]);
    // Writing and closing a closed file do nothing and raise nothing.
    file.Write("x", 1);
    file.WriteText(L"x");
    file.Close();

    // A name longer than the file system takes: the open's own message.
    const std::wstring strLong = m_files.WPath(std::string(300, 'n'));
    file.OpenResponse(strLong, false);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(m_log.Rows().back().text.empty());
    EXPECT_TRUE(m_log.Rows()[2].text.starts_with(L"\nOpen \"" + strLong + L"\" failed! "));
}

}  // namespace
