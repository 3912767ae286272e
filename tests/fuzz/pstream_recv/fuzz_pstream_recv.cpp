// Feeds arbitrary bytes to PStream::Recv through a real channel: the bytes
// go into one end of a socket pair, which is then closed, so every receive
// ends at the latest on the peer's close. Binaries land in a scratch folder
// that is emptied after each input.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "base/logger.h"
#include "net/channel.h"
#include "value/pobject.h"
#include "support/fuzz_socket.h"
#include "stream/pstream.h"

namespace {

const std::string& ScratchDir() {
    static std::string path = [] {
        char pattern[] = "/tmp/fuzz-pstream-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        return std::string(pattern);
    }();
    return path;
}

// Every binary received must name a file inside the scratch folder whose
// size matches what the value records.
void CheckBinaries(const PObject& x, int depth) {
    if (depth > PStream::kMaxDepth + 1) std::abort();
    if (x.isBinary()) {
        const PObject::binary_type& b = x.asBinary();
        if (b.offset != b.length) std::abort();
        if (b.path.empty()) return;
        if (b.path.view().substr(0, ScratchDir().size()) != ScratchDir()) std::abort();
        std::error_code ec;
        auto size = std::filesystem::file_size(b.path.str(), ec);
        if (!ec && size != b.length) std::abort();
        return;
    }
    for (const PObject& e : x.asArray()) CheckBinaries(e, depth + 1);
    for (const auto& m : x.asMap()) CheckBinaries(m.second, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Keep the warnings and errors of malformed input off the output: only
    // critical lines of the two components involved pass.
    std::string levels = ScratchDir() + ".levels";
    FILE* fp = std::fopen(levels.c_str(), "w");
    if (!fp) std::abort();
    std::fputs("stream=2\nchannel_debug=2\n", fp);
    std::fclose(fp);
    Logger::Initialize(Logger::STDERR_LOGGER, "", ustring(levels), 1);
    std::remove(levels.c_str());
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(ScratchDir(), ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();

    // Small inputs fit the socket buffer; larger ones need a writer thread.
    std::thread writer;
    if (size <= 65536) {
        tidewell::fuzzing::send_all(fds[1], bytes, size);
        close(fds[1]);
    } else {
        writer = std::thread([&] {
            tidewell::fuzzing::send_all(fds[1], bytes, size);
            close(fds[1]);
        });
    }

    PObject x;
    {
        Channel ch;
        if (ch.Open(fds[0], true) != 0) std::abort();
        PStream stream;
        stream.SetDefaultRecvLocation(ScratchDir());
        int ret = stream.Recv(ch, x);
        if (ret > 0 || ret < PStream::ERR_INPUT) std::abort();
        ustring item;
        uint64_t sent = 1, total = 1;
        stream.GetStatus(item, sent, total);
        if (!item.empty() || sent != 0 || total != 0) std::abort();
        ch.Close();
    }
    if (writer.joinable()) writer.join();

    CheckBinaries(x, 0);
    (void)x.toString();

    std::error_code ec;
    for (auto& entry : std::filesystem::directory_iterator(ScratchDir(), ec)) std::filesystem::remove(entry, ec);
    return 0;
}
