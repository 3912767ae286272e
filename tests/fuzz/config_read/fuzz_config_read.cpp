// Feeds arbitrary bytes to the configuration file reader, through a real file
// (the reader's line buffering is part of what is tested).
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static std::string path = [] {
        char pattern[] = "/tmp/fuzz-config-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd < 0) std::abort();
        close(fd);
        return std::string(pattern);
    }();
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) return 0;
    std::fwrite(bytes, 1, size, fp);
    std::fclose(fp);

    Config config;
    if (config.read(path.c_str()) == 0) {
        for (auto& [key, value] : config.store) {
            // Keys are runs of key characters; values hold no control bytes.
            for (size_t i = 0; i < key.length(); ++i) {
                unsigned char c = static_cast<unsigned char>(key[i]);
                if (!(isalnum(c) || c == '-' || c == '_')) std::abort();
            }
            for (size_t i = 0; i < value.length(); ++i) {
                unsigned char c = static_cast<unsigned char>(value[i]);
                if (c < 32 || c == 127) std::abort();
            }
            (void)Config::parse_int(value.c_str());
        }
    } else if (!config.store.empty()) {
        std::abort();
    }
    return 0;
}
