#include "support/File.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <memory>

#include "TempFolder.h"
#include "platform/Kernel.h"
#include "platform/WinFile.h"

namespace {

// Runs `f`, which must raise a CFileException, and returns it.
template <class F>
std::unique_ptr<CFileException> Raised(F&& f) {
    try {
        f();
    } catch (CFileException* p) {
        return std::unique_ptr<CFileException>(p);
    }
    ADD_FAILURE() << "no CFileException raised";
    return std::make_unique<CFileException>();
}

}  // namespace

class FileTest : public ::testing::Test {
protected:
    CTempFolder m_dir;
    CFile m_file;
};

TEST_F(FileTest, OpenFailureRaisesOrFillsTheGivenException) {
    const std::wstring badPath = m_dir.WPath("missing/f.txt");
    auto e = Raised([&] { m_file.Open(badPath.c_str(), CFile::modeRead); });
    EXPECT_EQ(e->m_cause, CFileException::badPath);
    EXPECT_EQ(e->m_lOsError, 3);
    EXPECT_EQ(e->GetErrorMessage(), badPath + L" contains an invalid path.");
    EXPECT_FALSE(m_file.IsOpen());

    CFileException error;
    EXPECT_FALSE(m_file.Open(badPath.c_str(), CFile::modeWrite | CFile::modeCreate, &error));
    EXPECT_EQ(error.m_cause, CFileException::badPath);
    EXPECT_EQ(error.m_lOsError, 3);
    EXPECT_EQ(error.m_strFileName, badPath);

    const std::wstring missing = m_dir.WPath("nothing.txt");
    EXPECT_FALSE(m_file.Open(missing.c_str(), CFile::modeRead, &error));
    EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
    EXPECT_EQ(error.m_lOsError, 2);
    EXPECT_EQ(error.GetErrorMessage(), missing + L" was not found.");
    EXPECT_FALSE(m_file.IsOpen());
}

TEST_F(FileTest, ShareFlagsDecideWhoMayJoin) {
    const std::wstring name = m_dir.WPath("held.txt");
    m_dir.WriteFile("held.txt", "");
    const struct {
        UINT nFlags;
        bool bReaderJoins, bWriterJoins;
    } cases[] = {
        {CFile::modeRead | CFile::shareDenyWrite, true, false},
        {CFile::modeWrite | CFile::shareDenyRead, false, true},
        {CFile::modeReadWrite | CFile::shareDenyNone, true, true},
        {CFile::modeRead | CFile::shareExclusive, false, false},
        {CFile::modeRead, false, false},  // as every value without a meaning
        {CFile::modeRead | 0x50, false, false},
        {CFile::modeRead | 0x70, false, false},
        {3, true, true},  // no access rights: takes no part in sharing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nFlags);
        ASSERT_TRUE(m_file.Open(name.c_str(), c.nFlags));
        CFile other;
        CFileException error;
        EXPECT_EQ(other.Open(name.c_str(), CFile::modeRead | CFile::shareDenyNone, &error) != 0,
                  c.bReaderJoins);
        other.Close();
        EXPECT_EQ(other.Open(name.c_str(), CFile::modeWrite | CFile::shareDenyNone, &error) != 0,
                  c.bWriterJoins);
        other.Close();
        m_file.Close();
    }

    // The new open's share mode must allow what the open ones do, too.
    ASSERT_TRUE(m_file.Open(name.c_str(), CFile::modeWrite | CFile::shareDenyNone));
    CFile other;
    const auto e =
        Raised([&] { other.Open(name.c_str(), CFile::modeRead | CFile::shareDenyWrite); });
    EXPECT_EQ(e->m_cause, CFileException::sharingViolation);
    EXPECT_EQ(e->m_lOsError, 32);
    EXPECT_EQ(e->GetErrorMessage(), L"A sharing violation occurred while accessing " + name + L".");
    m_file.Close();
}

TEST_F(FileTest, CreateFlagsAndInheritance) {
    const std::wstring name = m_dir.WPath("c.txt");
    m_dir.WriteFile("c.txt", "old");
    ASSERT_TRUE(
        m_file.Open(name.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite));
    EXPECT_EQ(fcntl(win::FileDescriptorOf(m_file.GetHandle()), F_GETFD) & FD_CLOEXEC, 0);
    m_file.Close();
    EXPECT_EQ(m_dir.ReadFile("c.txt"), "old");

    ASSERT_TRUE(
        m_file.Open(name.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::modeNoInherit));
    EXPECT_NE(fcntl(win::FileDescriptorOf(m_file.GetHandle()), F_GETFD) & FD_CLOEXEC, 0);
    m_file.Close();
    EXPECT_EQ(m_dir.ReadFile("c.txt"), "");
}

TEST_F(FileTest, WriteReadSeekAndLength) {
    ASSERT_TRUE(
        m_file.Open(m_dir.WPath("d.bin").c_str(), CFile::modeCreate | CFile::modeReadWrite));
    m_file.WriteByteOrderMark();
    m_file.Write("0123456789", 10);
    EXPECT_EQ(m_file.Seek(4, CFile::begin), 4u);
    EXPECT_EQ(m_file.GetLength(), 12u);
    EXPECT_EQ(m_file.Seek(0, CFile::current), 4u);  // GetLength kept the position
    char buf[16] = {};
    EXPECT_EQ(m_file.Read(buf, 3), 3u);
    EXPECT_EQ(std::string(buf, 3), "234");
    EXPECT_EQ(m_file.Read(buf, sizeof buf), 5u);
    EXPECT_EQ(m_file.Read(buf, sizeof buf), 0u);

    const auto e = Raised([&] { m_file.Seek(-100, CFile::current); });
    EXPECT_EQ(e->m_cause, CFileException::badSeek);
    EXPECT_EQ(e->m_lOsError, 131);
    m_file.Close();
    EXPECT_EQ(m_dir.ReadFile("d.bin"),
              "\xFF\xFE"
              "0123456789");
}

TEST_F(FileTest, OnlyWriteFailuresNameTheFile) {
    m_dir.WriteFile("r.txt", "abc");
    const std::wstring name = m_dir.WPath("r.txt");
    ASSERT_TRUE(m_file.Open(name.c_str(), CFile::modeRead));
    char buf[4];
    EXPECT_EQ(m_file.Read(buf, 0), 0u);
    m_file.Write(buf, 0);  // nothing to write is no error
    auto e = Raised([&] { m_file.Write("x", 1); });
    EXPECT_EQ(e->m_cause, CFileException::accessDenied);
    EXPECT_EQ(e->m_strFileName, name);
    e = Raised([&] { m_file.Flush(); });
    EXPECT_EQ(e->m_cause, CFileException::accessDenied);
    EXPECT_EQ(e->m_strFileName, L"");
    m_file.Close();

    e = Raised([&] { m_file.Read(buf, 1); });  // through no handle
    EXPECT_EQ(e->m_lOsError, 6);
    EXPECT_EQ(e->m_strFileName, L"");
    EXPECT_NO_THROW(m_file.WriteByteOrderMark());
}

TEST_F(FileTest, WriteOnAFullDeviceRaisesDiskFull) {
    ASSERT_TRUE(m_file.Open(L"/dev/full", CFile::modeWrite | CFile::shareDenyNone));
    const auto e = Raised([&] { m_file.Write("abc", 3); });
    EXPECT_EQ(e->m_cause, CFileException::diskFull);
    EXPECT_EQ(e->m_lOsError, 112);
    EXPECT_EQ(e->GetErrorMessage(), L"Disk full while accessing /dev/full.");
    m_file.Close();
}

TEST_F(FileTest, ShortWriteRaisesDiskFullWithoutACode) {
    const std::wstring name = m_dir.WPath("limited.bin");
    ASSERT_TRUE(m_file.Open(name.c_str(), CFile::modeCreate | CFile::modeWrite));
    // The file size limit stops the write part way; going past it must not end the process.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 10;
    void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::unique_ptr<CFileException> e;
    try {
        m_file.Write("0123456789ABCDEF", 16);
    } catch (CFileException* p) {
        e.reset(p);
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    m_file.Close();

    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->m_cause, CFileException::diskFull);
    EXPECT_EQ(e->m_lOsError, -1);
    EXPECT_EQ(e->GetErrorMessage(), L"Disk full while accessing " + name + L".");
    EXPECT_EQ(m_dir.ReadFile("limited.bin"), "0123456789");
}

TEST_F(FileTest, CloseLeavesTheObjectClosedEvenWhenItFails) {
    ASSERT_TRUE(m_file.Open(m_dir.WPath("c").c_str(), CFile::modeCreate | CFile::modeWrite));
    ASSERT_TRUE(win::CloseHandle(m_file.GetHandle()));  // pulled from under the object
    const auto e = Raised([&] { m_file.Close(); });
    EXPECT_EQ(e->m_lOsError, 6);
    EXPECT_EQ(e->m_strFileName, L"");
    EXPECT_FALSE(m_file.IsOpen());
    EXPECT_EQ(m_file.GetFilePath(), L"");
    EXPECT_NO_THROW(m_file.Close());
}

TEST_F(FileTest, NamesAndStatus) {
    m_dir.WriteFile("a:b.txt", "12345");
    const std::wstring name = m_dir.WPath("a:b.txt");
    ASSERT_TRUE(m_file.Open(name.c_str(), CFile::modeRead));
    EXPECT_EQ(m_file.GetFilePath(), name);
    EXPECT_EQ(m_file.GetFileName(), L"b.txt");     // ':' ends a folder part too
    EXPECT_EQ(m_file.GetFileTitle(), L"a:b.txt");  // the title only looks at '/'
    CFileStatus status;
    ASSERT_TRUE(m_file.GetStatus(status));
    EXPECT_EQ(status.m_size, 5u);
    EXPECT_EQ(status.m_attribute, win::FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(status.m_strFullName, name);
    EXPECT_NEAR(static_cast<double>(status.m_mtime), static_cast<double>(std::time(nullptr)), 5);
    m_file.Close();
    EXPECT_FALSE(m_file.GetStatus(status));

    // Only 259 characters of a long path are kept.
    const std::string longName = std::string(200, 'd') + "/" + std::string(100, 'f');
    std::filesystem::create_directory(m_dir.Path(std::string(200, 'd')));
    m_dir.WriteFile(longName, "");
    ASSERT_TRUE(m_file.Open(m_dir.WPath(longName).c_str(), CFile::modeRead));
    EXPECT_EQ(m_file.GetFilePath(), m_dir.WPath(longName).substr(0, 259));
    m_file.Close();
}
