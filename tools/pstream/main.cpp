// tidewell-pstream: inspect and craft messages in the tagged binary
// encoding of control and server messages.
//
//   tidewell-pstream decode   values on standard input, one JSON line each
//   tidewell-pstream encode   one JSON value on standard input, its encoding
//                             on standard output
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "fd_bridge.h"
#include "json_convert.h"
#include "net/channel.h"
#include "stream/pstream.h"

namespace {

const char* const kUsage =
    "usage: tidewell-pstream decode < MESSAGES\n"
    "       tidewell-pstream encode < JSON > MESSAGE\n"
    "decode prints every value on standard input as one line of JSON (binaries as {\"binary\": LENGTH});\n"
    "encode writes the encoding of the one JSON value on standard input.\n";

// A channel that can tell, between two values, whether its input has ended.
class InputChannel : public Channel {
public:
    bool AtEnd() {
        if (r_size > 0) return false;
        SOCKET fd = m_ops.get_fd(m_ops.context);
        char c;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR) return true;
            ssize_t n = recv(fd, &c, 1, MSG_PEEK);
            if (n > 0) return false;
            if (n == 0) return true;
            if (errno != EAGAIN && errno != EINTR) return true;
        }
    }
};

// A scratch folder for the files that received binaries land in.
class ScratchDir {
public:
    ScratchDir() {
        std::error_code ec;
        std::string pattern = (std::filesystem::temp_directory_path(ec) / "tidewell-pstream-XXXXXX").string();
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~ScratchDir() { Remove(); }
    void Remove() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
        path_.clear();
    }
    const std::string& path() const { return path_; }
    void Empty() {
        std::error_code ec;
        for (auto& entry : std::filesystem::directory_iterator(path_, ec)) std::filesystem::remove(entry, ec);
    }

private:
    std::string path_;
};

int Decode() {
    ScratchDir scratch;
    if (scratch.path().empty()) {
        std::fprintf(stderr, "tidewell-pstream: cannot create a scratch folder: %s\n", std::strerror(errno));
        return 1;
    }
    FdBridge input(STDIN_FILENO, FdBridge::kFromFd);
    if (!input.ok()) {
        std::fprintf(stderr, "tidewell-pstream: socketpair: %s\n", std::strerror(errno));
        return 1;
    }
    InputChannel ch;
    ch.SetTimeout(0);  // standard input may be slow; it ends when it ends
    if (ch.Open(input.TakeSocket(), true) != 0) {
        std::fprintf(stderr, "tidewell-pstream: cannot open the input channel\n");
        return 1;
    }
    int status = 0;
    for (size_t index = 0; !ch.AtEnd(); ++index) {
        PStream stream;
        stream.SetDefaultRecvLocation(ustring(scratch.path()));
        PObject value;
        int ret = stream.Recv(ch, value);
        scratch.Empty();
        if (ret == PStream::ERR_IO) {
            std::fprintf(stderr, "tidewell-pstream: the input ends inside value %zu\n", index + 1);
            status = 1;
            break;
        }
        if (ret != 0) {
            std::fprintf(stderr, "tidewell-pstream: malformed input in value %zu (result %d)\n", index + 1, ret);
            status = 1;
            break;
        }
        std::cout << PObjectToJson(value).dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
    }
    std::cout.flush();
    if (!std::cout) {
        std::fprintf(stderr, "tidewell-pstream: cannot write to standard output\n");
        status = 1;
    }
    if (status != 0) {
        // The input copy may still be waiting on a terminal or an endless
        // pipe, so the process ends without waiting for it.
        scratch.Remove();
        std::fflush(stderr);
        std::_Exit(status);
    }
    ch.Close();
    if (!input.Finish()) {
        std::fprintf(stderr, "tidewell-pstream: cannot read standard input: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

int Encode() {
    Json json;
    try {
        json = Json::parse(std::cin);
    } catch (const Json::parse_error& e) {
        std::fprintf(stderr, "tidewell-pstream: malformed JSON: %s\n", e.what());
        return 1;
    }
    PObject value;
    std::string error;
    if (!JsonToPObject(json, value, error)) {
        std::fprintf(stderr, "tidewell-pstream: cannot encode: %s\n", error.c_str());
        return 1;
    }

    FdBridge output(STDOUT_FILENO, FdBridge::kToFd);
    if (!output.ok()) {
        std::fprintf(stderr, "tidewell-pstream: socketpair: %s\n", std::strerror(errno));
        return 1;
    }
    Channel ch;
    if (ch.Open(output.TakeSocket(), true) != 0) {
        std::fprintf(stderr, "tidewell-pstream: cannot open the output channel\n");
        return 1;
    }
    PStream stream;
    int ret = stream.Send(ch, value);
    ch.Close();
    bool written = output.Finish();
    if (ret != 0) {
        std::fprintf(stderr, "tidewell-pstream: cannot encode the value (result %d)\n", ret);
        return 1;
    }
    if (!written) {
        std::fprintf(stderr, "tidewell-pstream: cannot write to standard output\n");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "decode") == 0) return Decode();
    if (argc == 2 && std::strcmp(argv[1], "encode") == 0) return Encode();
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
