// Helpers shared by the delta engine's tests: deterministic data, a small
// independent reader of delta files, running the command-line tools.
#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace tidewell::testing {

inline std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(gen() & 0xFF);
    return s;
}

struct DeltaCmd {
    enum Kind { COPY, LITERAL } kind;
    uint64_t offset = 0;  // copies
    uint64_t length = 0;
    std::string data;  // literals
    bool operator==(const DeltaCmd&) const = default;
};

// Parses a whole delta file; false when it is malformed or lacks the end
// command.
inline bool parse_delta(const std::string& d, std::vector<DeltaCmd>& out) {
    out.clear();
    if (d.size() < 4 || d.compare(0, 4, "rs\x02\x36", 4) != 0) return false;
    size_t p = 4;
    auto be = [&](int w, uint64_t& v) {
        if (p + w > d.size()) return false;
        v = 0;
        for (int i = 0; i < w; ++i) v = (v << 8) | static_cast<uint8_t>(d[p++]);
        return true;
    };
    static const int widths[] = {1, 2, 4, 8};
    while (p < d.size()) {
        uint8_t op = static_cast<uint8_t>(d[p++]);
        if (op == 0) return p == d.size();
        uint64_t a = 0, b = 0;
        if (op <= 64) {
            a = op;
        } else if (op <= 68) {
            if (!be(widths[op - 65], a)) return false;
        } else if (op <= 84) {
            if (!be(widths[(op - 69) / 4], a) || !be(widths[(op - 69) % 4], b)) return false;
            out.push_back({DeltaCmd::COPY, a, b, {}});
            continue;
        } else {
            return false;
        }
        if (a > d.size() - p) return false;
        out.push_back({DeltaCmd::LITERAL, 0, a, d.substr(p, a)});
        p += a;
    }
    return false;
}

inline std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a shell command; its exit status (or -1).
inline int run(const std::string& command) {
    int rc = std::system(command.c_str());
    if (rc == -1 || !WIFEXITED(rc)) return -1;
    return WEXITSTATUS(rc);
}

inline bool on_path(const char* program) {
    return run(std::string("command -v ") + program + " >/dev/null 2>&1") == 0;
}

inline std::string tool_path() {
    return std::string(TIDEWELL_BINARY_DIR) + "/tools/delta/tidewell-delta";
}

}  // namespace tidewell::testing

#include "delta/delta_file_reader.h"
#include "delta/simple_file_reader.h"

namespace tidewell::testing {

inline int make_signature(const std::string& file, const std::string& sig, uint32_t block_size = 2048,
                          uint32_t hash_size = 8) {
    SimpleFileReader r;
    r.setFile(file.c_str());
    r.setSignature(sig.c_str(), block_size, hash_size);
    return r.readFile();
}

inline int make_delta(const std::string& sig, const std::string& file, const std::string& delta) {
    SimpleFileReader r;
    r.setFile(file.c_str());
    r.setDelta(delta.c_str(), sig.c_str());
    return r.readFile();
}

inline int apply_patch(const std::string& basis, const std::string& delta, const std::string& out,
                       bool* complete = nullptr) {
    DeltaFileReader r;
    r.setFile(delta.c_str(), basis.c_str());
    r.setNewFile(out.c_str());
    int rc = r.readFile();
    if (complete) *complete = r.isComplete();
    return rc;
}

}  // namespace tidewell::testing
