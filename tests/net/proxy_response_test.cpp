// Reading a proxy's answer from a real socket: status line, header lines and
// their limits, the body rules, and where the reader leaves the stream.
#include "net/proxy_response.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "net/proxy_client.h"
#include "net/proxy_io.h"

namespace {

// Feeds `text` into a socket pair, closes the writing end, reads one answer
// from the other end; `rest` receives what the reader left on the stream.
int ReadFrom(const std::string& text, ProxyHttpResponse& response, std::string* rest = nullptr) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::thread writer([&] {
        size_t at = 0;
        while (at < text.size()) {
            ssize_t n = send(fds[1], text.data() + at, text.size() - at, MSG_NOSIGNAL);
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        shutdown(fds[1], SHUT_WR);
    });
    int ret = ReadProxyResponse(fds[0], response);
    writer.join();
    if (rest) {
        rest->clear();
        char buf[4096];
        ssize_t n;
        while ((n = recv(fds[0], buf, sizeof buf, MSG_DONTWAIT)) > 0) rest->append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    close(fds[1]);
    return ret;
}

class ProxyResponseTest : public ::testing::Test {
protected:
    void SetUp() override { ProxySetWaitLimits({200, 5}); }
    void TearDown() override { ProxySetWaitLimits({}); }
};

TEST_F(ProxyResponseTest, BodyRulesAndWhereTheStreamIsLeft) {
    struct Case {
        const char* name;
        std::string text;
        int status;
        std::string rest;
    } cases[] = {
        {"200 leaves the tunnel's first bytes", "HTTP/1.1 200 Connection established\r\n\r\nTUNNEL", 200, "TUNNEL"},
        // A 200 has no body, whatever its headers say.
        {"200 with a Content-Type", "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nTUNNEL", 200, "TUNNEL"},
        {"200 with a length", "HTTP/1.1 200 Fine by me\r\nContent-Length: 3\r\n\r\nTUNNEL", 200, "TUNNEL"},
        {"407 with a length", "HTTP/1.1 407 Auth\r\nContent-Length: 5\r\n\r\nabcdeNEXT", 407, "NEXT"},
        {"407 with length 0", "HTTP/1.1 407 Auth\r\nContent-Length: 0\r\nContent-Type: a/b\r\n\r\nNEXT", 407,
         "NEXT"},
        {"407 with a type and no length", "HTTP/1.1 407 Auth\r\nContent-Type: text/html\r\n\r\n<p>\r\n\r\nNEXT", 407,
         "NEXT"},
        {"407 with neither", "HTTP/1.1 407 Auth\r\nX-A: b\r\n\r\nNEXT", 407, "NEXT"},
        // Header names are compared exactly: this length is not recognised.
        {"lower-case length", "HTTP/1.1 407 Auth\r\ncontent-length: 5\r\n\r\nabcdeNEXT", 407, "abcdeNEXT"},
        {"a body across the marker's halves", "HTTP/1.1 502 Bad\r\nContent-Type: t\r\n\r\nx\r\r\n\r\nNEXT", 502,
         "NEXT"},
    };
    for (const Case& c : cases) {
        ProxyHttpResponse response;
        std::string rest;
        EXPECT_EQ(ReadFrom(c.text, response, &rest), 0) << c.name;
        EXPECT_EQ(response.status, c.status) << c.name;
        EXPECT_EQ(rest, c.rest) << c.name;
    }
}

TEST_F(ProxyResponseTest, StatusLines) {
    struct Case {
        const char* line;
        int result;
        int status;
    } cases[] = {
        {"HTTP/1.1 200 Connection established", 0, 200},
        {"HTTP/1.0 407 Proxy Authentication Required", 0, 407},
        {"HTTP/1.1 200", 0, 200},
        {"HTTP/1.1 502 ", 0, 502},
        {"HTTP/2.0 200 x", 0, 200},
        {"HTTP/1.1 abc", PROXY_ERR_FAIL, 0},
        {"HTTP/11 200 x", PROXY_ERR_FAIL, 0},
        {"SMTP/1.1 200 x", PROXY_ERR_FAIL, 0},
        {"HTTP/1.1 9999999999 x", PROXY_ERR_FAIL, 0},
        {"", PROXY_ERR_FAIL, 0},
    };
    for (const Case& c : cases) {
        int status = 0;
        EXPECT_EQ(CORVProxyGetHttpResponseCode(c.line, &status), c.result) << c.line;
        if (c.result == 0) {
            EXPECT_EQ(status, c.status) << c.line;
        }
    }
    ProxyHttpResponse response;
    EXPECT_EQ(ReadFrom("220 mail.example ESMTP\r\n\r\n", response), PROXY_ERR_FAIL);
    EXPECT_EQ(ReadFrom("HTTP/1.1 " + std::string(1100, '2') + "\r\n\r\n", response), PROXY_ERR_FAIL)
        << "a status line over its buffer";
    EXPECT_EQ(ReadFrom("HTTP/1.1 200 OK\r\nVia: x\r\n", response), PROXY_ERR_FAIL) << "closed before the blank line";
    EXPECT_EQ(ReadFrom("", response), PROXY_ERR_FAIL);
}

TEST_F(ProxyResponseTest, HeaderLinesAreSplitAndOddOnesSkipped) {
    ProxyHttpResponse response;
    ASSERT_EQ(ReadFrom("HTTP/1.1 407 x\r\n"
                       "Proxy-Authenticate: NTLM  \t\r\n"
                       "no colon here\r\n"
                       ": empty key\r\n"
                       "Ends-At-Colon:\r\n"
                       "Only-Blanks:   \r\n"
                       "Proxy-Authenticate:Basic realm=\"a b\"\r\n"
                       "X-Dup: 1\r\n"
                       "X-Dup: 2\n"
                       "   \t\r\n"  // blanks only: the empty line that ends the headers
                       "Not-A-Header: x\r\n\r\n",
                       response),
              0);
    ASSERT_EQ(response.headers.size(), 4u);
    EXPECT_EQ(response.headers[0].key, "Proxy-Authenticate");
    EXPECT_EQ(response.headers[0].value, "NTLM");
    EXPECT_EQ(response.headers[1].value, "Basic realm=\"a b\"");
    ASSERT_NE(response.Find("X-Dup"), nullptr);
    EXPECT_EQ(*response.Find("X-Dup"), "1");
    EXPECT_EQ(response.Find("x-dup"), nullptr);
}

TEST_F(ProxyResponseTest, HeaderLimits) {
    auto lines = [](int n, size_t len) {
        std::string text = "HTTP/1.1 407 x\r\n";
        for (int i = 0; i < n; ++i) text += "X-" + std::to_string(i) + ": " + std::string(len, 'v') + "\r\n";
        return text + "\r\n";
    };
    ProxyHttpResponse response;
    EXPECT_EQ(ReadFrom(lines(100, 10), response), 0);
    EXPECT_EQ(ReadFrom(lines(101, 10), response), PROXY_ERR_FAIL) << "more than 100 lines";
    EXPECT_EQ(ReadFrom(lines(9, 7000), response), 0);
    EXPECT_EQ(ReadFrom(lines(10, 7000), response), PROXY_ERR_FAIL) << "more than 64 KiB";
    EXPECT_EQ(ReadFrom(lines(1, 9000), response), PROXY_ERR_FAIL) << "a line over its buffer";
}

TEST_F(ProxyResponseTest, BadLengthsAndOversizedBodiesAreRefused) {
    ProxyHttpResponse response;
    EXPECT_EQ(ReadFrom("HTTP/1.1 407 x\r\nContent-Length: 12abc\r\n\r\n", response), PROXY_ERR_FAIL);
    EXPECT_EQ(ReadFrom("HTTP/1.1 407 x\r\nContent-Length: -5\r\n\r\n", response), PROXY_ERR_FAIL);
    EXPECT_EQ(ReadFrom("HTTP/1.1 407 x\r\nContent-Length: 2000000\r\n\r\n", response), PROXY_ERR_FAIL);
    EXPECT_EQ(ReadFrom("HTTP/1.1 407 x\r\nContent-Length: 10\r\n\r\nshort", response), PROXY_ERR_FAIL);
    EXPECT_EQ(ReadFrom("HTTP/1.1 407 x\r\nContent-Type: t\r\n\r\nno end", response), PROXY_ERR_FAIL);
}

TEST_F(ProxyResponseTest, KeepAlive) {
    struct Case {
        const char* text;
        bool keeps;
    } cases[] = {
        {"HTTP/1.1 407 x\r\n\r\n", true},
        {"HTTP/1.1 407 x\r\nConnection: close\r\n\r\n", false},
        {"HTTP/1.1 407 x\r\nProxy-Connection: Close\r\n\r\n", false},
        {"HTTP/1.1 407 x\r\nconnection: keep-alive, close\r\n\r\n", false},
        {"HTTP/1.0 407 x\r\n\r\n", false},
        {"HTTP/1.0 407 x\r\nProxy-Connection: Keep-Alive\r\n\r\n", true},
    };
    for (const Case& c : cases) {
        ProxyHttpResponse response;
        ASSERT_EQ(ReadFrom(c.text, response), 0) << c.text;
        EXPECT_EQ(response.KeepsAlive(), c.keeps) << c.text;
    }
}

TEST_F(ProxyResponseTest, SilentPeerEndsAfterTheWaitLimit) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_EQ(send(fds[1], "HTTP/1.1 200 OK\r\n", 17, 0), 17);
    ProxyHttpResponse response;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadProxyResponse(fds[0], response), PROXY_ERR_FAIL);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsed, 0.9);  // 5 waits of 200 ms
    EXPECT_LT(elapsed, 5.0);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
