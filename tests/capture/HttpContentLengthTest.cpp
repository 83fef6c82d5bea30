// The Content-Length fix of an edited request.
#include <gtest/gtest.h>

#include "capture/HttpContentLength.h"

namespace {

TEST(HttpContentLengthTest, SetsAddsAndDropsTheHeader) {
    std::string r = "POST /f HTTP/1.1\r\nHost: a\r\ncontent-length: 3\r\n\r\nhello!";
    EXPECT_TRUE(FixContentLength(r));
    EXPECT_EQ("POST /f HTTP/1.1\r\nHost: a\r\ncontent-length: 6\r\n\r\nhello!", r);
    EXPECT_FALSE(FixContentLength(r));  // right already

    // None yet: one is added before the empty line; bare LF line ends stay bare.
    r = "PUT /x HTTP/1.1\nHost: a\n\nabc";
    EXPECT_TRUE(FixContentLength(r));
    EXPECT_EQ("PUT /x HTTP/1.1\nHost: a\nContent-Length: 3\n\nabc", r);

    // Two of them: the first is set, the second goes.
    r = "POST / HTTP/1.1\r\nContent-Length: 1\r\nX: y\r\nContent-Length: 9\r\n\r\n12";
    EXPECT_TRUE(FixContentLength(r));
    EXPECT_EQ("POST / HTTP/1.1\r\nContent-Length: 2\r\nX: y\r\n\r\n12", r);

    // An emptied body.
    r = "POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\n";
    EXPECT_TRUE(FixContentLength(r));
    EXPECT_EQ("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", r);

    // Left alone: no body and no header, chunked, no request, no end of the header.
    for (std::string same : {std::string("GET / HTTP/1.1\r\nHost: a\r\n\r\n"),
                             std::string("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                         "3\r\nabc\r\n0\r\n\r\n"),
                             std::string("HTTP/1.1 200 OK\r\n\r\nbody"),
                             std::string("POST / HTTP/1.1\r\nHost: a\r\n")}) {
        const std::string before = same;
        EXPECT_FALSE(FixContentLength(same)) << before;
        EXPECT_EQ(before, same);
    }
}

}  // namespace
