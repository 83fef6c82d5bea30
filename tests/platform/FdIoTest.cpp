// Whole reads and writes: every byte arrives through a pipe that takes them in small pieces,
// a positioned write leaves the offset alone, a read past the end fails, and failures come
// back as errno.
#include "platform/FdIo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "TempFolder.h"

namespace {

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>((i * 131) ^ (i >> 11));
    }
    return s;
}

TEST(FdIoTest, EveryByteGoesThroughAPipeReadInSmallPieces) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    const std::string data = Pattern(3 * 1024 * 1024 + 17);
    std::string received;
    std::thread reader([&] {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fds[0], buf, sizeof(buf));
            if (n <= 0) {
                break;
            }
            received.append(buf, static_cast<std::size_t>(n));
        }
    });
    EXPECT_EQ(0, win::WriteAllFd(fds[1], data.data(), data.size()));
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_TRUE(received == data) << received.size() << " of " << data.size() << " bytes";
}

TEST(FdIoTest, PositionedWritesKeepTheOffsetAndFailuresSayWhy) {
    CTempFolder folder;
    const std::string strPath = folder.Path("f.bin");
    const int fd = ::open(strPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, win::WriteAllFd(fd, "head", 4));
    ASSERT_EQ(0, win::WriteAllFdAt(fd, "tail", 4, 10));
    EXPECT_EQ(4, ::lseek(fd, 0, SEEK_CUR));  // the pwrite moved nothing
    ASSERT_EQ(0, win::WriteAllFd(fd, "++", 2));
    ::close(fd);
    EXPECT_EQ(std::string("head++\0\0\0\0tail", 14), folder.ReadFile("f.bin"));
    const int fdRead = ::open(strPath.c_str(), O_RDONLY);
    ASSERT_GE(fdRead, 0);
    char got[4] = {};
    EXPECT_EQ(0, win::ReadAllFdAt(fdRead, got, 4, 10));
    EXPECT_EQ("tail", std::string(got, 4));
    EXPECT_EQ(EIO, win::ReadAllFdAt(fdRead, got, 4, 12));  // the file ends after two
    ::close(fdRead);

    EXPECT_EQ(EBADF, win::WriteAllFd(fd, "x", 1));  // closed above
    const int fdFull = ::open("/dev/full", O_WRONLY);
    if (fdFull >= 0) {
        EXPECT_EQ(ENOSPC, win::WriteAllFd(fdFull, "x", 1));
        ::close(fdFull);
    }
    // Nothing to write is done at once, even on a descriptor that would fail.
    EXPECT_EQ(0, win::WriteAllFd(-1, "", 0));
}

}  // namespace
