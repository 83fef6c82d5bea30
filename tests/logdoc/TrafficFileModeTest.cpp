// Every file that holds traffic is created readable by its owner only, whatever the umask;
// a file that was there keeps the permissions its owner gave it.
#include <sys/stat.h>

#include "TempFolder.h"
#include "app/LogFileWriter.h"
#include "logdoc/PcapngWriter.h"
#include "logdoc/SafeFileWriter.h"

namespace {

class TrafficFileModeTest : public ::testing::Test {
protected:
    void SetUp() override { m_oldMask = ::umask(022); }
    void TearDown() override { ::umask(m_oldMask); }
    unsigned ModeOf(const std::string& strName) const {
        struct stat st {};
        EXPECT_EQ(0, ::stat(m_tmp.Path(strName).c_str(), &st)) << strName;
        return st.st_mode & 0777;
    }

    CTempFolder m_tmp;
    mode_t m_oldMask = 0;
};

TEST_F(TrafficFileModeTest, LogAndCaptureFilesAreTheOwnersOnly) {
    std::string strError;
    auto pLog = CLogFileWriter::Open(m_tmp.Path("traffic.log"), nullptr, strError);
    ASSERT_NE(nullptr, pLog) << strError;
    pLog->Append("block");
    pLog.reset();
    EXPECT_EQ(0600u, ModeOf("traffic.log"));

    CPcapngWriter pcap;
    ASSERT_EQ(0, pcap.Open(m_tmp.Path("traffic.pcapng")));
    pcap.Close();
    EXPECT_EQ(0600u, ModeOf("traffic.pcapng"));

    // An existing file keeps what its owner chose.
    m_tmp.WriteFile("shared.log", "old");
    ASSERT_EQ(0, ::chmod(m_tmp.Path("shared.log").c_str(), 0644));
    pLog = CLogFileWriter::Open(m_tmp.Path("shared.log"), nullptr, strError);
    ASSERT_NE(nullptr, pLog);
    pLog.reset();
    EXPECT_EQ(0644u, ModeOf("shared.log"));
}

TEST_F(TrafficFileModeTest, ASavedLogIsTheOwnersOnlyUnlessItReplacesAFile) {
    {
        CSafeFileWriter writer(m_tmp.Path("new.txt"));
        ASSERT_EQ(0, writer.Open());
        ASSERT_EQ(0, writer.Write("log", 3));
        ASSERT_EQ(0, writer.Commit());
    }
    EXPECT_EQ(0600u, ModeOf("new.txt"));
    m_tmp.WriteFile("old.txt", "old");
    ASSERT_EQ(0, ::chmod(m_tmp.Path("old.txt").c_str(), 0640));
    {
        CSafeFileWriter writer(m_tmp.Path("old.txt"));
        ASSERT_EQ(0, writer.Open());
        ASSERT_EQ(0, writer.Write("log", 3));
        ASSERT_EQ(0, writer.Commit());
    }
    EXPECT_EQ(0640u, ModeOf("old.txt"));
    EXPECT_EQ("log", m_tmp.ReadFile("old.txt"));
}

}  // namespace
