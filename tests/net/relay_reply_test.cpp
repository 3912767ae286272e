// The relay reply reader over a scripted source: which lines count, where
// reading stops, and how ends, time-outs and empty reads (TLS records
// without application data) are told apart.
#include "net/relay_reply.h"

#include <gtest/gtest.h>

#include <string>

#include "support/chunked_reply_source.h"

namespace {

using ScriptSource = tidewell::testing::ChunkedReplySource;

const std::string kHead = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: CorvexaTunnel\r\n";

TEST(RelayReplyTest, Replies) {
    std::string many;
    for (int i = 0; i < kRelayMaxReplyLines + 1; ++i) many += "X-Pad: x\r\n";
    struct Case {
        const char* name;
        std::string text;
        int result;
    } cases[] = {
        {"status 0", kHead + "X-Target-Status: 0\r\n\r\n", 0},
        {"status 5", kHead + "X-Target-Status: 5\r\n\r\n", 5},
        {"line ends with LF only", "X-Target-Status: 0\n\n", 0},
        {"no blank after the colon", "X-Target-Status:7\r\n\r\n", 7},
        {"lower case passes the prefix test but not the pattern", kHead + "x-target-status: 0\r\n\r\n",
         RELAY_NO_STATUS},
        {"no status line", kHead + "\r\n", RELAY_NO_STATUS},
        {"not a number", "X-Target-Status: ok\r\n\r\n", RELAY_NO_STATUS},
        {"the last status counts", "X-Target-Status: 0\r\nX-Target-Status: 9\r\n\r\n", 9},
        {"a bad status line keeps the earlier one", "X-Target-Status: 3\r\nX-TARGET-STATUS: 0\r\n\r\n", 3},
        {"status but the stream ends before the blank line", kHead + "X-Target-Status: 0\r\n", RELAY_ERR_IO},
        {"nothing at all", "", RELAY_ERR_IO},
        {"a line longer than the buffer is cut, not misread",
         "X-Long: " + std::string(2000, 'X') + "-Target-Status: 9\r\nX-Target-Status: 0\r\n\r\n", 0},
        {"too many lines", many + "X-Target-Status: 0\r\n\r\n", RELAY_ERR_IO},
    };

    for (const Case& c : cases) {
        for (int chunk : {1, 3, 4096}) {
            for (int retry : {0, 2}) {
                ScriptSource source(c.text, chunk, retry);
                EXPECT_EQ(ReadRelayReply(source), c.result) << c.name << ", chunk " << chunk << ", retry " << retry;
            }
        }
    }
}

TEST(RelayReplyTest, StopsAtTheBlankLine) {
    for (int chunk : {1, 4096}) {
        ScriptSource source(kHead + "X-Target-Status: 0\r\n\r\nTARGET BYTES\r\n\r\n", chunk, 3);
        EXPECT_EQ(ReadRelayReply(source), 0);
        EXPECT_EQ(source.Rest(), "TARGET BYTES\r\n\r\n");
    }
}

TEST(RelayReplyTest, WaitFailuresArePassedOn) {
    ScriptSource timeout(kHead, 4096, 0, RELAY_ERR_TIMEOUT);
    EXPECT_EQ(ReadRelayReply(timeout), RELAY_ERR_TIMEOUT);
    ScriptSource failed(kHead + "X-Target-Status: 0\r\n", 4096, 0, RELAY_ERR_IO);
    EXPECT_EQ(ReadRelayReply(failed), RELAY_ERR_IO);
}

}  // namespace
