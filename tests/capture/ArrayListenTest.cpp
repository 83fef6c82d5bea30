// The session registry as listening stops: a connection that the accept thread took just
// before CloseAll is refused, not started as a session that nobody would stop.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "SocketTestSupport.h"
#include "capture/ArrayListen.h"
#include "capture/SocketAccept.h"
#include "net/WinsockInit.h"
#include "platform/Winsock.h"

namespace {

TEST(ArrayListenTest, AConnectionAcceptedAfterCloseAllIsResetNotStarted) {
    ASSERT_TRUE(g_WinsockInit.Startup());
    const std::size_t nSocketsBefore = win::OpenSocketCount();
    {
        CSocketBlocking listener(TRUE);
        listener.Create();
        listener.Bind(test::Loopback(0));
        listener.Listen();
        sockaddr_in addr{};
        ASSERT_TRUE(listener.GetSockAddr(&addr));
        const int fd = test::ConnectPosix(ntohs(addr.sin_port));
        ASSERT_GE(fd, 0);
        CSocketAccept vessel;
        ASSERT_TRUE(listener.Accept(vessel, nullptr));
        listener.Close();

        CArrayListen registry;
        registry.CloseAll();  // listening stops while the accept thread holds the vessel
        EXPECT_FALSE(registry.Add(vessel));
        EXPECT_EQ(0, registry.GetCount());
        EXPECT_EQ(0u, vessel.GetSocket());
        // The client learns at once that nobody will answer: a reset, not an empty answer.
        char c = 0;
        errno = 0;
        EXPECT_EQ(-1, ::recv(fd, &c, 1, 0));
        EXPECT_EQ(ECONNRESET, errno);
        ::close(fd);
    }
    EXPECT_EQ(nSocketsBefore, win::OpenSocketCount());
}

}  // namespace
