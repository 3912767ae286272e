// Reading the relay's reply to the upgrade request: header lines up to the
// blank line, of which only "X-Target-Status: <n>" matters.
//
// The reader takes bytes from a source that can wait, peek and read, and
// never takes a byte past the blank line: what follows belongs to the
// target.
#pragma once

#include <string_view>

// Results of the relay client besides the relay's own status numbers.
constexpr int RELAY_NO_STATUS = -1;    // the reply ended without a status
constexpr int RELAY_ERR_IO = -402;     // I/O failure, end of stream, refused request
constexpr int RELAY_ERR_TIMEOUT = -403;

// A line is cut after this many bytes, as if it ended there.
constexpr int kRelayLineSize = 1023;
// A reply with more lines than this is refused.
constexpr int kRelayMaxReplyLines = 100;

class RelayReplySource {
public:
    // Peek and Read: nothing can be taken yet (the reader waits again).
    static constexpr int kRetry = -1000;

    virtual ~RelayReplySource() = default;
    // Until bytes can be taken: 0, RELAY_ERR_IO or RELAY_ERR_TIMEOUT.
    virtual int Wait() = 0;
    // Up to `len` bytes without taking them: the count, kRetry, or 0 or a
    // negative value for the end of the stream or an error.
    virtual int Peek(char* buf, int len) = 0;
    // Takes up to `len` bytes: the same results.
    virtual int Read(char* buf, int len) = 0;
};

// Whether `line` is a status line (first 15 characters "X-Target-Status",
// case ignored) and, if it also has the exact form "X-Target-Status: <n>",
// sets `status`. A line that passes the first test but not the second leaves
// `status` alone.
bool ParseRelayStatusLine(std::string_view line, int* status, bool* parsed);

// Reads the reply. The relay's status (0 is success) once the blank line
// arrives after a status line; RELAY_NO_STATUS when the blank line comes
// without one; RELAY_ERR_IO when the stream ends or fails first or the reply
// runs over kRelayMaxReplyLines lines; RELAY_ERR_TIMEOUT when a wait runs out.
int ReadRelayReply(RelayReplySource& source);
