// Makes the delta of a file against an arbitrary signature. The input holds
// both: two bytes giving the signature's length, the signature, then the
// file. A delta that is made must describe exactly the file's length, with
// copies inside the signed blocks.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "delta/simple_file_reader.h"
#include "support/fuzz_files.h"

namespace {

using tidewell::fuzzing::read_file;
using tidewell::fuzzing::write_file;

uint64_t be(const std::string& d, size_t& p, int w) {
    if (p + w > d.size()) std::abort();
    uint64_t v = 0;
    for (int i = 0; i < w; ++i) v = (v << 8) | static_cast<uint8_t>(d[p++]);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const std::string dir = tidewell::fuzzing::temp_folder("fuzz-signature");
    static const std::string sig_path = dir + "/sig", new_path = dir + "/new", delta_path = dir + "/delta";
    if (size < 2) return 0;
    size_t sig_len = (size_t(bytes[0]) << 8) | bytes[1];
    if (sig_len > size - 2) sig_len = size - 2;
    const uint8_t* sig = bytes + 2;
    write_file(sig_path, sig, sig_len);
    write_file(new_path, sig + sig_len, size - 2 - sig_len);
    const uint64_t new_size = size - 2 - sig_len;

    SimpleFileReader r;
    r.setFile(new_path.c_str());
    r.setDelta(delta_path.c_str(), sig_path.c_str());
    int rc = r.readFile();
    if (rc != 0) {
        if (rc != FileReader::ERROR_HANDLER_CALL) std::abort();
        return 0;
    }
    // The signature was accepted: its header is sound.
    if (sig_len < 12) std::abort();
    uint64_t block_size = (uint64_t(sig[4]) << 24) | (sig[5] << 16) | (sig[6] << 8) | sig[7];
    uint64_t hash_size = (uint64_t(sig[8]) << 24) | (sig[9] << 16) | (sig[10] << 8) | sig[11];
    if (block_size == 0 || hash_size < 1 || hash_size > 16) std::abort();
    uint64_t blocks = (sig_len - 12) / (4 + hash_size);

    std::string d = read_file(delta_path);
    static const int widths[] = {1, 2, 4, 8};
    size_t p = 4;
    uint64_t described = 0;
    for (;;) {
        uint8_t op = static_cast<uint8_t>(d.at(p++));
        if (op == 0) break;
        if (op <= 68) {
            uint64_t n = op <= 64 ? op : be(d, p, widths[op - 65]);
            if (n == 0 || n > d.size() - p) std::abort();
            p += n;
            described += n;
        } else if (op <= 84) {
            uint64_t off = be(d, p, widths[(op - 69) / 4]);
            uint64_t len = be(d, p, widths[(op - 69) % 4]);
            if (off % block_size || len % block_size || len == 0) std::abort();
            if (off / block_size + len / block_size > blocks) std::abort();
            described += len;
        } else {
            std::abort();
        }
    }
    if (p != d.size() || described != new_size) std::abort();
    return 0;
}
