#include "net/relay_reply.h"

#include <cstring>

#include "net/ascii_text.h"

namespace {

// One line into `buf` (kRelayLineSize bytes at most, '\n' included). The
// length, or a negative result.
int ReadLine(RelayReplySource& source, char* buf) {
    int got = 0;
    while (got < kRelayLineSize) {
        int ret = source.Wait();
        if (ret < 0) return ret;
        int n = source.Peek(buf + got, kRelayLineSize - got);
        if (n == RelayReplySource::kRetry) continue;
        if (n <= 0) return RELAY_ERR_IO;
        const char* nl = static_cast<const char*>(memchr(buf + got, '\n', static_cast<size_t>(n)));
        int take = nl ? static_cast<int>(nl - (buf + got)) + 1 : n;
        int r = source.Read(buf + got, take);
        if (r == RelayReplySource::kRetry) continue;
        if (r <= 0 || r > take) return RELAY_ERR_IO;
        got += r;
        if (r > 0 && buf[got - 1] == '\n') break;
    }
    return got;
}

}  // namespace

bool ParseRelayStatusLine(std::string_view line, int* status, bool* parsed) {
    static constexpr std::string_view kName = "X-Target-Status";
    *parsed = false;
    if (!AsciiStartsWithNoCase(line, kName)) return false;
    // The exact form: the name as written, a colon, blanks, a number.
    if (line.substr(0, kName.size()) != kName || line.size() <= kName.size() || line[kName.size()] != ':') {
        return true;
    }
    size_t at = kName.size() + 1;
    *parsed = AsciiParseInt(line, at, status);
    return true;
}

int ReadRelayReply(RelayReplySource& source) {
    char line[kRelayLineSize + 1];
    int status = RELAY_NO_STATUS;
    bool seen = false;
    for (int lines = 0; lines < kRelayMaxReplyLines; ++lines) {
        int n = ReadLine(source, line);
        if (n < 0) return n;
        if (n == 0) return RELAY_ERR_IO;
        if (line[0] == '\r' || line[0] == '\n') return seen ? status : RELAY_NO_STATUS;
        bool parsed = false;
        ParseRelayStatusLine(std::string_view(line, static_cast<size_t>(n)), &status, &parsed);
        if (parsed) seen = true;
    }
    return RELAY_ERR_IO;
}
