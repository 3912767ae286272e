#include "server/ls_command.h"

#include <sys/stat.h>

#include <string>

#include "server/view_index.h"

namespace tw_server {

namespace {

std::string Printable(const std::string& path) {
    std::string out;
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

int RunLs(const LsOptions& options, FILE* out, FILE* err) {
    std::string file = options.root + "/views/" + std::to_string(options.view) + "/index.sqlite";
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) {
        std::fprintf(err, "tidewell-server ls: no view %llu under %s\n", static_cast<unsigned long long>(options.view),
                     options.root.c_str());
        return 1;
    }
    ViewIndex index;
    std::string error;
    if (index.Open(file, false, true, error) != 0) {
        std::fprintf(err, "tidewell-server ls: %s\n", error.c_str());
        return 1;
    }
    int rc = index.ScanLive([&](const Entry& e) {
        std::fprintf(out, "%s\t%s\t%llu\t%llu\t%s\n", Printable(e.path).c_str(), e.is_dir ? "dir" : "file",
                     static_cast<unsigned long long>(e.sync_id), static_cast<unsigned long long>(e.size),
                     e.is_dir ? "-" : e.hash.c_str());
        return true;
    });
    if (rc != 0) {
        std::fprintf(err, "tidewell-server ls: %s\n", index.last_error().c_str());
        return 1;
    }
    return std::fflush(out) == 0 ? 0 : 1;
}

}  // namespace tw_server
