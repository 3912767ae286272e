// A relay reply source over a fixed text, for tests and fuzzing: hands out
// at most `chunk` bytes at a time, and every `retry_every`-th peek (and
// every `retry_every`-th read) finds nothing yet, as a TLS record without
// application data does. Once the text is used up, waits fail with
// `wait_result` when it is non-zero, and peeks and reads find the end.
// A `retry_every` of 1 never hands out anything.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "net/relay_reply.h"

namespace tidewell::testing {

class ChunkedReplySource : public RelayReplySource {
public:
    ChunkedReplySource(std::string text, int chunk, int retry_every = 0, int wait_result = 0)
        : text_(std::move(text)), chunk_(chunk < 1 ? 1 : chunk), retry_every_(retry_every), wait_result_(wait_result) {}

    int Wait() override { return at_ >= text_.size() && wait_result_ != 0 ? wait_result_ : 0; }
    int Peek(char* buf, int len) override { return Take(buf, len, false, peeks_); }
    int Read(char* buf, int len) override { return Take(buf, len, true, reads_); }

    // What the reader has not taken.
    std::string Rest() const { return text_.substr(at_); }
    size_t Taken() const { return at_; }

private:
    int Take(char* buf, int len, bool consume, int& calls) {
        if (retry_every_ > 0 && ++calls % retry_every_ == 0) return kRetry;
        if (len <= 0) return 0;
        size_t n = std::min({static_cast<size_t>(len), static_cast<size_t>(chunk_), text_.size() - at_});
        if (n == 0) return 0;
        memcpy(buf, text_.data() + at_, n);
        if (consume) at_ += n;
        return static_cast<int>(n);
    }

    std::string text_;
    size_t at_ = 0;
    int chunk_;
    int retry_every_;
    int wait_result_;
    int peeks_ = 0;
    int reads_ = 0;
};

}  // namespace tidewell::testing
