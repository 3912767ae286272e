// Figures for the delta engine against librsync's rdiff: signature, delta of
// an edited copy, delta of an unrelated file, patch, and hash plus signature
// in one pass (against rdiff signature followed by openssl dgst -md4).
// Each case runs ours and the reference alternately, three rounds, and
// reports the medians. The file size is 256 MiB unless the first argument
// gives another size in MiB.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "delta/delta_file_reader.h"
#include "delta/simple_file_reader.h"

namespace {

double time_of(const std::function<bool()>& f, bool& ok) {
    auto start = std::chrono::steady_clock::now();
    ok = f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

bool write_random(const std::string& path, uint64_t size, uint32_t seed) {
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) return false;
    std::mt19937_64 gen(seed);
    std::vector<uint64_t> buf(1 << 17);
    for (uint64_t done = 0; done < size;) {
        for (auto& w : buf) w = gen();
        size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, buf.size() * 8));
        if (std::fwrite(buf.data(), 1, n, fp) != n) {
            std::fclose(fp);
            return false;
        }
        done += n;
    }
    return std::fclose(fp) == 0;
}

// A copy of `from` with `count` scattered overwrites of `length` bytes.
bool write_edited(const std::string& from, const std::string& to, uint64_t size, int count, int length) {
    if (!shell("cp '" + from + "' '" + to + "'")) return false;
    FILE* fp = std::fopen(to.c_str(), "r+b");
    if (!fp) return false;
    std::mt19937_64 gen(77);
    for (int i = 0; i < count; ++i) {
        uint64_t at = gen() % (size - length);
        char bytes[64];
        for (int j = 0; j < length; ++j) bytes[j] = static_cast<char>(gen());
        std::fseek(fp, static_cast<long>(at), SEEK_SET);
        std::fwrite(bytes, 1, length, fp);
    }
    return std::fclose(fp) == 0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Case {
    const char* name;
    std::function<bool()> ours;
    std::string ref;  // shell command
};

}  // namespace

int main(int argc, char** argv) {
    uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    if (mib == 0) mib = 256;
    const uint64_t size = mib << 20;
    char pattern[] = "/tmp/bench-delta-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string basis = dir + "/basis", edited = dir + "/edited", unrelated = dir + "/unrelated",
                      sig = dir + "/basis.sig", delta = dir + "/edited.delta", out = dir + "/out",
                      ref_out = dir + "/ref-out";
    if (!write_random(basis, size, 1) || !write_edited(basis, edited, size, 200, 10) ||
        !write_random(unrelated, size, 2)) {
        std::fprintf(stderr, "bench_delta: cannot write the test files in %s\n", dir.c_str());
        return 1;
    }
    const bool have_rdiff = shell("command -v rdiff >/dev/null 2>&1");
    const bool have_openssl = shell("command -v openssl >/dev/null 2>&1");

    auto signature = [&](const std::string& file, const std::string& to, ustring* hash) {
        SimpleFileReader r;
        r.setFile(file.c_str());
        if (hash) r.setHashString(*hash);
        r.setSignature(to.c_str(), 2048, 8);
        return r.readFile() == 0;
    };
    auto make_delta = [&](const std::string& file, const std::string& to) {
        SimpleFileReader r;
        r.setFile(file.c_str());
        r.setDelta(to.c_str(), sig.c_str());
        return r.readFile() == 0;
    };
    if (!signature(basis, sig, nullptr) || !make_delta(edited, delta)) return 1;

    const std::string rdiff_sig = "rdiff -f -b 2048 -S 8 -H md4 -R rollsum signature ";
    ustring hash;
    std::vector<Case> cases = {
        {"signature", [&] { return signature(basis, out, nullptr); }, rdiff_sig + basis + " " + ref_out},
        {"delta_edits", [&] { return make_delta(edited, out); },
         "rdiff -f delta " + sig + " " + edited + " " + ref_out},
        {"delta_nomatch", [&] { return make_delta(unrelated, out); },
         "rdiff -f delta " + sig + " " + unrelated + " " + ref_out},
        {"patch",
         [&] {
             DeltaFileReader r;
             r.setFile(delta.c_str(), basis.c_str());
             r.setNewFile(out.c_str());
             return r.readFile() == 0 && r.isComplete();
         },
         "rdiff -f patch " + basis + " " + delta + " " + ref_out},
        {"hash_and_signature", [&] { return signature(basis, out, &hash); },
         rdiff_sig + basis + " " + ref_out + " && openssl dgst -md4 -provider legacy -provider default " + basis +
             " >/dev/null"},
    };

    int status = 0;
    for (const Case& c : cases) {
        bool need_openssl = std::string(c.name) == "hash_and_signature";
        bool run_ref = have_rdiff && (!need_openssl || have_openssl);
        std::vector<double> ours, ref;
        for (int round = 0; round < 3; ++round) {
            bool ok = false;
            ours.push_back(time_of(c.ours, ok));
            if (!ok) {
                std::fprintf(stderr, "bench_delta: case %s failed\n", c.name);
                status = 1;
            }
            if (run_ref) {
                ref.push_back(time_of([&] { return shell(c.ref); }, ok));
                if (!ok) run_ref = false;
            }
        }
        if (run_ref) {
            double o = median(ours), r = median(ref);
            std::printf("bench=delta case=%s ours_s=%.3f ref_s=%.3f ratio=%.2f\n", c.name, o, r, o / r);
        } else {
            std::printf("bench=delta case=%s ours_s=%.3f ref_s=na ratio=na (rdiff%s not available)\n", c.name,
                        median(ours), need_openssl ? " or openssl" : "");
        }
        std::fflush(stdout);
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("bench=delta case=peak_memory size_mib=%llu ours_maxrss_mib=%.1f\n",
                static_cast<unsigned long long>(mib), usage.ru_maxrss / 1024.0);
    shell("rm -rf '" + dir + "'");
    return status;
}
