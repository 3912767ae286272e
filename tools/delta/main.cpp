// tidewell-delta: block signatures, deltas, patches and MD4 hashes of files
// from the command line, in the manner of rdiff.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "delta/delta_file_reader.h"
#include "delta/simple_file_reader.h"

namespace {

constexpr int EXIT_FAIL = 1;
constexpr int EXIT_USAGE = 2;

void usage(FILE* out) {
    std::fputs(
        "usage: tidewell-delta [options] signature BASIS SIG\n"
        "       tidewell-delta [options] delta SIG NEW DELTA\n"
        "       tidewell-delta [options] patch BASIS DELTA OUT\n"
        "       tidewell-delta md4 FILE\n"
        "options:\n"
        "  -b, --block-size N   block size of a new signature in bytes (default 2048)\n"
        "  -S, --hash-size N    strong-hash bytes per block, 1 to 16 (default 8)\n"
        "  -h, --help           show this text\n",
        out);
}

int fail_usage(const char* format, const char* arg) {
    std::fprintf(stderr, "tidewell-delta: ");
    std::fprintf(stderr, format, arg);
    std::fprintf(stderr, "\n");
    usage(stderr);
    return EXIT_USAGE;
}

// A decimal number in [min, max], or false.
bool parse_number(const char* text, unsigned long min, unsigned long max, uint32_t& out) {
    if (!text || !*text) return false;
    for (const char* p = text; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end || v < min || v > max) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// A readable input: true, or a message naming the file.
bool check_input(const char* path) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "tidewell-delta: cannot open '%s': %s\n", path, std::strerror(errno));
        return false;
    }
    ::close(fd);
    return true;
}

const char* describe(int rc) {
    switch (rc) {
        case FileReader::ERROR_ARGUMENT:
            return "invalid arguments";
        case FileReader::ERROR_SYSTEM_CALL:
            return "a file could not be read or written";
        case FileReader::ERROR_HANDLER_CALL:
            return "an output could not be produced (unreadable or invalid signature, or a failed write)";
        case FileReader::ERROR_ABORT:
            return "aborted";
        case FileReader::ERROR_FILE_FORMAT:
            return "not a delta file (bad magic)";
        default:
            return "unknown error";
    }
}

int report(const char* what, int rc) {
    if (rc == FileReader::SUCCESS) return EXIT_SUCCESS;
    std::fprintf(stderr, "tidewell-delta: %s failed: %s\n", what, describe(rc));
    return EXIT_FAIL;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t block_size = 2048;
    uint32_t hash_size = 8;
    std::vector<const char*> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* value = nullptr;
        bool is_block = false, is_hash = false;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return EXIT_SUCCESS;
        } else if (a == "-b" || a == "--block-size" || a == "-S" || a == "--hash-size") {
            is_block = a == "-b" || a == "--block-size";
            is_hash = !is_block;
            if (i + 1 >= argc) return fail_usage("option '%s' needs a value", argv[i]);
            value = argv[++i];
        } else if (a.rfind("--block-size=", 0) == 0) {
            is_block = true;
            value = argv[i] + std::strlen("--block-size=");
        } else if (a.rfind("--hash-size=", 0) == 0) {
            is_hash = true;
            value = argv[i] + std::strlen("--hash-size=");
        } else if (a.size() > 1 && a[0] == '-') {
            return fail_usage("unknown option '%s'", argv[i]);
        } else {
            args.push_back(argv[i]);
            continue;
        }
        if (is_block && !parse_number(value, 1, 1u << 30, block_size))
            return fail_usage("invalid block size '%s' (1 to 1073741824)", value);
        if (is_hash && !parse_number(value, 1, 16, hash_size))
            return fail_usage("invalid hash size '%s' (1 to 16)", value);
    }
    if (args.empty()) return fail_usage("%s", "no command given");

    std::string command = args[0];
    auto want = [&](size_t n) { return args.size() == n + 1; };

    if (command == "signature") {
        if (!want(2)) return fail_usage("%s", "signature needs BASIS and SIG");
        if (!check_input(args[1])) return EXIT_FAIL;
        SimpleFileReader reader;
        reader.setFile(args[1]);
        reader.setSignature(args[2], block_size, hash_size);
        return report("signature", reader.readFile());
    }
    if (command == "delta") {
        if (!want(3)) return fail_usage("%s", "delta needs SIG, NEW and DELTA");
        if (!check_input(args[1]) || !check_input(args[2])) return EXIT_FAIL;
        SimpleFileReader reader;
        reader.setFile(args[2]);
        reader.setDelta(args[3], args[1]);
        return report("delta", reader.readFile());
    }
    if (command == "patch") {
        if (!want(3)) return fail_usage("%s", "patch needs BASIS, DELTA and OUT");
        if (!check_input(args[1]) || !check_input(args[2])) return EXIT_FAIL;
        DeltaFileReader reader;
        reader.setFile(args[2], args[1]);
        reader.setNewFile(args[3]);
        int rc = reader.readFile();
        if (rc != FileReader::SUCCESS) return report("patch", rc);
        if (!reader.isComplete()) {
            std::fprintf(stderr, "tidewell-delta: patch failed: '%s' is truncated or invalid; '%s' is incomplete\n",
                         args[2], args[3]);
            return EXIT_FAIL;
        }
        return EXIT_SUCCESS;
    }
    if (command == "md4") {
        if (!want(1)) return fail_usage("%s", "md4 needs FILE");
        if (!check_input(args[1])) return EXIT_FAIL;
        ustring hash;
        SimpleFileReader reader;
        reader.setFile(args[1]);
        reader.setHashString(hash);
        int rc = reader.readFile();
        if (rc != FileReader::SUCCESS) return report("md4", rc);
        std::printf("%s\n", hash.c_str());
        return std::fflush(stdout) == 0 ? EXIT_SUCCESS : EXIT_FAIL;
    }
    return fail_usage("unknown command '%s'", args[0]);
}
