// Files for fuzz targets that feed their input through real files.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tidewell::fuzzing {

// A fresh folder named after `prefix`, removed when the fuzzer exits.
inline std::string temp_folder(const char* prefix) {
    static std::string path;
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    path = pattern;
    std::atexit([] { std::system(("rm -rf '" + path + "'").c_str()); });
    return path;
}

inline void write_file(const std::string& path, const void* data, size_t size) {
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) std::abort();
    if (size) std::fwrite(data, 1, size, fp);
    std::fclose(fp);
}

inline std::string read_file(const std::string& path) {
    std::string s;
    FILE* fp = std::fopen(path.c_str(), "rb");
    if (!fp) return s;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) s.append(buf, n);
    std::fclose(fp);
    return s;
}

}  // namespace tidewell::fuzzing
