// Addresses of both families in text, and the Listen Address setting.
#include "net/SocketAddress.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "net/ListenAddress.h"

namespace {

TEST(SocketAddressTest, ParsesNumericAddressesOnly) {
    const auto v4 = CSocketAddress::Parse("192.0.2.7", 80);
    ASSERT_TRUE(v4);
    EXPECT_EQ(AF_INET, v4->Family());
    EXPECT_EQ(80, v4->Port());
    EXPECT_EQ(16, v4->Length());
    for (const char* pszText : {"::1", "[::1]", "2001:db8::5"}) {
        const auto v6 = CSocketAddress::Parse(pszText, 443);
        ASSERT_TRUE(v6) << pszText;
        EXPECT_EQ(AF_INET6, v6->Family());
        EXPECT_EQ(28, v6->Length());
        EXPECT_EQ(443, v6->Port());
    }
    for (const char* pszText : {"", "localhost", "[127.0.0.1]", "[::1", "::1]", "1.2.3",
                                "::1%no-such-interface", "[::1]:80"}) {
        EXPECT_FALSE(CSocketAddress::Parse(pszText, 0)) << pszText;
    }
}

TEST(SocketAddressTest, TextsAreTheUsualOnesWithBracketsBeforeAPort) {
    EXPECT_EQ(L"192.0.2.7:80", CSocketAddress::Parse("192.0.2.7", 80)->TextWithPort());
    EXPECT_EQ(L"[2001:db8::5]:8080", CSocketAddress::Parse("2001:db8::5", 8080)->TextWithPort());
    // RFC 5952 form: zeros compressed, lower case.
    EXPECT_EQ(L"2001:db8::5", CSocketAddress::Parse("2001:0DB8:0:0:0:0:0:5", 0)->Text());
    EXPECT_EQ(L"", CSocketAddress().TextWithPort());
}

TEST(SocketAddressTest, MappedIpv4IsShownAndComparedAsIpv4) {
    const auto mapped = CSocketAddress::Parse("::ffff:127.0.0.1", 5555);
    ASSERT_TRUE(mapped);
    EXPECT_EQ(AF_INET6, mapped->Family());
    EXPECT_EQ(L"127.0.0.1", mapped->Text());
    EXPECT_EQ(L"127.0.0.1:5555", mapped->TextWithPort());
    EXPECT_EQ(AF_INET, mapped->Unmapped().Family());
    EXPECT_TRUE(mapped->IsLoopback());
    EXPECT_TRUE(*mapped == *CSocketAddress::Parse("127.0.0.1", 5555));
    EXPECT_FALSE(*mapped == *CSocketAddress::Parse("127.0.0.1", 5556));
}

TEST(SocketAddressTest, LoopbackAndWildcard) {
    EXPECT_TRUE(CSocketAddress::Loopback(AF_INET6, 1).IsLoopback());
    EXPECT_TRUE(CSocketAddress::Parse("127.8.9.10", 0)->IsLoopback());
    EXPECT_FALSE(CSocketAddress::Parse("192.0.2.7", 0)->IsLoopback());
    EXPECT_FALSE(CSocketAddress::Parse("::2", 0)->IsLoopback());
    EXPECT_TRUE(CSocketAddress::Any(AF_INET6, 0).IsAny());
    EXPECT_EQ(L"::", CSocketAddress::Any(AF_INET6, 0).Text());
    EXPECT_EQ(L"0.0.0.0", CSocketAddress::Any(AF_INET, 0).Text());
}

TEST(SocketAddressTest, BareIpv6LiteralsAreThoseWithoutBrackets) {
    EXPECT_TRUE(IsBareIpv6Literal("::1"));
    EXPECT_TRUE(IsBareIpv6Literal("2001:db8::1"));
    EXPECT_FALSE(IsBareIpv6Literal("[::1]"));
    EXPECT_FALSE(IsBareIpv6Literal("[::1]:8080"));
    EXPECT_FALSE(IsBareIpv6Literal("127.0.0.1"));
    EXPECT_FALSE(IsBareIpv6Literal("example.com:8080"));
}

TEST(ListenAddressTest, ParsesTheWordsAndAddresses) {
    EXPECT_EQ(CListenAddress::Kind::All, CListenAddress::Parse(L"all")->GetKind());
    EXPECT_EQ(CListenAddress::Kind::All, CListenAddress::Parse(L"")->GetKind());
    EXPECT_EQ(CListenAddress::Kind::All, CListenAddress::Parse(L"0.0.0.0")->GetKind());
    EXPECT_EQ(CListenAddress::Kind::All, CListenAddress::Parse(L"::")->GetKind());
    EXPECT_EQ(CListenAddress::Kind::Local, CListenAddress::Parse(L" LOCAL ")->GetKind());
    const auto one = CListenAddress::Parse(L"[::1]");
    ASSERT_TRUE(one);
    EXPECT_EQ(CListenAddress::Kind::Address, one->GetKind());
    EXPECT_EQ(L"::1", one->ToText());
    EXPECT_EQ(L"192.0.2.7", CListenAddress::Parse(L"192.0.2.7")->ToText());
    EXPECT_EQ(L"local", CListenAddress::Local().ToText());
    EXPECT_EQ(L"all", CListenAddress::All().ToText());
    EXPECT_FALSE(CListenAddress::Parse(L"everyone"));
    EXPECT_FALSE(CListenAddress::Parse(L"localhost"));  // names are not bound
}

TEST(ListenAddressTest, BindsWhatItNamesAndSaysSo) {
    const auto all6 = CListenAddress::All().BindAddresses(18802, true);
    ASSERT_EQ(1u, all6.size());
    EXPECT_EQ(L"[::]:18802", all6[0].TextWithPort());
    EXPECT_EQ(L"Listening on all interfaces, port 18802 (IPv4 and IPv6)",
              CListenAddress::All().Describe(all6));
    const auto all4 = CListenAddress::All().BindAddresses(18802, false);
    EXPECT_EQ(L"0.0.0.0:18802", all4.at(0).TextWithPort());
    EXPECT_EQ(L"Listening on all interfaces, port 18802 (IPv4 only: IPv6 is off on this machine)",
              CListenAddress::All().Describe(all4));

    const auto local = CListenAddress::Local().BindAddresses(18802, true);
    ASSERT_EQ(2u, local.size());
    EXPECT_EQ(L"[::1]:18802", local[0].TextWithPort());
    EXPECT_EQ(L"127.0.0.1:18802", local[1].TextWithPort());
    EXPECT_EQ(L"Listening on this machine only (127.0.0.1 and ::1), port 18802",
              CListenAddress::Local().Describe(local));
    EXPECT_EQ(1u, CListenAddress::Local().BindAddresses(18802, false).size());

    const CListenAddress one = *CListenAddress::Parse(L"192.0.2.7");
    EXPECT_EQ(L"Listening on 192.0.2.7 only, port 18802",
              one.Describe(one.BindAddresses(18802, true)));
}

}  // namespace
