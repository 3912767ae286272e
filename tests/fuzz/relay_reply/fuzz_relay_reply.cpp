// Feeds arbitrary bytes as a relay's reply to the reply reader, handed out
// in chunks and with empty reads as the first two bytes choose, and checks
// that the result and the bytes taken are the same as when the whole reply
// arrives at once.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/relay_reply.h"
#include "support/chunked_reply_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int chunk = data[0] % 17 + 1;
    int retry_every = data[1] % 4 == 0 ? 0 : data[1] % 4 + 1;  // 1 would never make progress
    std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    tidewell::testing::ChunkedReplySource source(text, chunk, retry_every);
    int ret = ReadRelayReply(source);
    if (ret == RELAY_ERR_TIMEOUT) abort();  // the source never times out
    if (source.Taken() > text.size()) abort();
    // How the bytes arrive must not change what is read.
    tidewell::testing::ChunkedReplySource whole(text, 1 << 20);
    if (ReadRelayReply(whole) != ret || whole.Taken() != source.Taken()) abort();
    return 0;
}
