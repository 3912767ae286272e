// Figures for the base types: map look-ups keyed by ustring against the same
// map keyed by std::string, and reading a large configuration file.
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "base/config.h"
#include "base/ustring.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename Key>
double map_lookups(const std::vector<std::string>& names, int rounds) {
    std::map<Key, int> m;
    for (size_t i = 0; i < names.size(); ++i) m[Key(names[i].c_str())] = static_cast<int>(i);
    std::vector<Key> keys;
    for (auto& n : names) keys.emplace_back(n.c_str());
    long sum = 0;
    auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r)
        for (auto& k : keys) sum += m.find(k)->second;
    double s = seconds_since(start);
    if (sum == 42) std::puts("");
    return s;
}

}  // namespace

int main() {
    std::vector<std::string> names;
    for (int i = 0; i < 100000; ++i) names.push_back("/folder/sub/file-" + std::to_string(i * 7919 % 100003) + ".txt");

    double ours = map_lookups<ustring>(names, 10);
    double ref = map_lookups<std::string>(names, 10);
    std::printf("bench=ustring case=map_lookup_1m ours_s=%.3f ref_s=%.3f ratio=%.2f\n", ours, ref, ours / ref);

    char path[] = "/tmp/bench-config-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return 1;
    FILE* fp = fdopen(fd, "w");
    for (int i = 0; i < 200000; ++i) std::fprintf(fp, "key_%d = \"value %d\"  # comment\n", i, i);
    std::fclose(fp);
    auto start = std::chrono::steady_clock::now();
    Config config;
    int rc = config.read(path);
    double read_s = seconds_since(start);
    unlink(path);
    std::printf("bench=config case=read_200k_lines seconds=%.3f keys=%zu rc=%d\n", read_s, config.store.size(), rc);
    return rc == 0 ? 0 : 1;
}
