#include "capture/ServerUrl.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

TEST(ServerUrlTest, TakesTheHostOfWhatIsTypedOrPasted) {
    // Text, scheme, host, port.
    const std::vector<std::tuple<std::wstring, std::wstring, std::wstring, int>> cases = {
        {L"example.com", L"", L"example.com", 0},
        {L" 127.0.0.1 ", L"", L"127.0.0.1", 0},
        {L"\t127.0.0.1\n", L"", L"127.0.0.1", 0},
        {L"http://127.0.0.1/", L"http", L"127.0.0.1", 0},
        {L"http://127.0.0.1:28080/some/path", L"http", L"127.0.0.1", 28080},
        {L"HTTPS://user:pw@Example.com:8443/a?b#c", L"https", L"Example.com", 8443},
        {L"example.com:8080", L"", L"example.com", 8080},
        {L"example.com:", L"", L"example.com", 0},
        {L"localhost/page?x=1", L"", L"localhost", 0},
        {L"::1", L"", L"::1", 0},
        {L"http://::1", L"http", L"::1", 0},
        {L"2001:db8::7", L"", L"2001:db8::7", 0},
        {L"[::1]", L"", L"[::1]", 0},
        {L"http://[::1]:8080/p", L"http", L"[::1]", 8080},
        {L"ftp://files.example.org", L"ftp", L"files.example.org", 0},
    };
    for (const auto& [strText, strScheme, strHost, nPort] : cases) {
        const std::optional<CServerUrl> server = ParseServerUrl(strText);
        ASSERT_TRUE(server.has_value()) << std::string(strText.begin(), strText.end());
        EXPECT_EQ(strScheme, server->strScheme);
        EXPECT_EQ(strHost, server->strHost);
        EXPECT_EQ(nPort, server->nPort);
    }
}

TEST(ServerUrlTest, TextWithoutAHostSaysWhy) {
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"", L"Enter the server in URL"},
        {L"   ", L"Enter the server in URL"},
        {L"ftp://", L"The URL names no host"},
        {L"http:///path", L"The URL names no host"},
        {L"http://user@", L"The URL names no host"},
        {L"http://[]:80", L"The URL names no host"},
        {L"://example.com", L"The URL names no host"},
        {L"example.com:99999", L"The port in the URL is not a number from 1 to 65535"},
        {L"example.com:0", L"The port in the URL is not a number from 1 to 65535"},
        {L"http://example.com:8o/", L"The port in the URL is not a number from 1 to 65535"},
        {L"http://[::1/", L"The URL's IPv6 address lacks its closing \"]\""},
        {L"http://[::1]x/", L"Only a port may follow"},
        {L"exa mple.com", L"The URL's host holds a blank or a control character"},
        {L"evil\r\nX-Injected", L"The URL's host holds a blank or a control character"},
    };
    for (const auto& [strText, strWhy] : cases) {
        std::wstring strGot;
        EXPECT_FALSE(ParseServerUrl(strText, &strGot).has_value())
            << std::string(strText.begin(), strText.end());
        EXPECT_TRUE(strGot.starts_with(strWhy)) << std::string(strGot.begin(), strGot.end());
    }
}

TEST(ServerUrlTest, HostHeaderValueWritesThePortOnlyWhenItIsNotTheDefault) {
    EXPECT_EQ("127.0.0.1", HostHeaderValue(L"127.0.0.1", 80, L""));
    EXPECT_EQ("127.0.0.1", HostHeaderValue(L"127.0.0.1", 80, L"http"));
    EXPECT_EQ("127.0.0.1:443", HostHeaderValue(L"127.0.0.1", 443, L"http"));
    EXPECT_EQ("example.com", HostHeaderValue(L"example.com", 443, L"HTTPS"));
    EXPECT_EQ("example.com:80", HostHeaderValue(L"example.com", 80, L"https"));
    EXPECT_EQ("example.com:21", HostHeaderValue(L"example.com", 21, L"gopher"));
    EXPECT_EQ("[::1]:8080", HostHeaderValue(L"::1", 8080, L""));
    EXPECT_EQ("[::1]", HostHeaderValue(L"[::1]", 80, L"http"));
    EXPECT_EQ("example.com", HostHeaderValue(L"example.com", 0, L""));
}

}  // namespace
