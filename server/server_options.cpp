#include "server/server_options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace tw_server {

namespace {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& out) {
    if (text.empty() || text.size() > 19) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    out = std::strtoull(text.c_str(), nullptr, 10);
    return out <= max;
}

bool ParseListen(const std::string& text, std::string& host, int& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    if (host == "localhost") host = "127.0.0.1";
    in_addr addr{};
    if (inet_pton(AF_INET, host.c_str(), &addr) != 1) return false;
    uint64_t value = 0;
    if (!ParseUnsigned(text.substr(colon + 1), 65535, value)) return false;
    port = static_cast<int>(value);
    return true;
}

bool ReadTokenFile(const std::string& path, std::vector<std::string>& tokens, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the token file " + path;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        tokens.push_back(line.substr(start));
    }
    return true;
}

}  // namespace

const char* UsageText() {
    return "usage: tidewell-server --root DIR --listen HOST:PORT (--token TOKEN | --token-file FILE)...\n"
           "                       [--view ID[:ro]]... [--tls-cert FILE --tls-key FILE]\n"
           "                       [--page-size N] [--keep-versions N] [--keepalive-seconds N]\n"
           "                       [--no-fsync] [--fault-file FILE] [--port-file FILE]\n"
           "       tidewell-server ls --root DIR [--view ID]\n";
}

int ParseServerOptions(int argc, char** argv, ServerOptions& options, std::string& error) {
    options = ServerOptions{};
    bool listen_given = false;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        uint64_t number = 0;
        if (arg == "--no-fsync") {
            options.fsync = false;
            continue;
        }
        static const char* const kValued[] = {
            "--root",    "--listen",    "--token",         "--token-file",        "--view",       "--tls-cert",
            "--tls-key", "--page-size", "--keep-versions", "--keepalive-seconds", "--fault-file", "--port-file"};
        if (std::find(std::begin(kValued), std::end(kValued), arg) == std::end(kValued)) {
            error = "unknown option " + arg;
            return -1;
        }
        if (!value(v)) return -1;
        if (arg == "--root") {
            options.root = v;
        } else if (arg == "--listen") {
            if (!ParseListen(v, options.host, options.port)) {
                error = "--listen takes HOST:PORT with an IPv4 address (or localhost) and a port 0..65535, not " + v;
                return -1;
            }
            listen_given = true;
        } else if (arg == "--token") {
            if (v.empty()) {
                error = "--token takes a non-empty token";
                return -1;
            }
            options.tokens.push_back(v);
        } else if (arg == "--token-file") {
            if (!ReadTokenFile(v, options.tokens, error)) return -1;
        } else if (arg == "--view") {
            ViewDeclaration declared;
            std::string id = v;
            if (id.size() > 3 && id.compare(id.size() - 3, 3, ":ro") == 0) {
                declared.read_only = true;
                id.resize(id.size() - 3);
            }
            if (!ParseUnsigned(id, UINT64_MAX, number) || number == 0) {
                error = "--view takes a positive view id, optionally followed by :ro, not " + v;
                return -1;
            }
            declared.id = number;
            auto same = [&](const ViewDeclaration& s) { return s.id == declared.id; };
            if (std::any_of(options.views.begin(), options.views.end(), same)) {
                error = "--view " + id + " is given twice";
                return -1;
            }
            options.views.push_back(declared);
        } else if (arg == "--tls-cert") {
            options.tls_cert = v;
        } else if (arg == "--tls-key") {
            options.tls_key = v;
        } else if (arg == "--page-size") {
            if (!ParseUnsigned(v, 100000, number) || number == 0) {
                error = "--page-size takes 1..100000, not " + v;
                return -1;
            }
            options.page_size = static_cast<uint32_t>(number);
        } else if (arg == "--keep-versions") {
            if (!ParseUnsigned(v, 1000, number)) {
                error = "--keep-versions takes 0..1000, not " + v;
                return -1;
            }
            options.keep_versions = static_cast<uint32_t>(number);
        } else if (arg == "--keepalive-seconds") {
            if (!ParseUnsigned(v, 3600, number) || number == 0) {
                error = "--keepalive-seconds takes 1..3600, not " + v;
                return -1;
            }
            options.keepalive_seconds = static_cast<uint32_t>(number);
        } else if (arg == "--fault-file") {
            options.fault_file = v;
        } else {
            options.port_file = v;
        }
    }
    if (options.root.empty())
        error = "--root is required";
    else if (!listen_given)
        error = "--listen is required";
    else if (options.tokens.empty())
        error = "at least one --token or --token-file is required";
    else if (options.tls_cert.empty() != options.tls_key.empty())
        error = "--tls-cert and --tls-key go together";
    if (!error.empty()) return -1;
    if (options.views.empty()) options.views.push_back(ViewDeclaration{});
    if (options.fault_file.empty()) options.fault_file = options.root + "/faults";
    return 0;
}

int ParseLsOptions(int argc, char** argv, LsOptions& options, std::string& error) {
    options = LsOptions{};
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) {
            error = arg + " needs a value";
            return -1;
        }
        std::string v = argv[++i];
        uint64_t number = 0;
        if (arg == "--root") {
            options.root = v;
        } else if (arg == "--view") {
            if (!ParseUnsigned(v, UINT64_MAX, number) || number == 0) {
                error = "--view takes a positive view id, not " + v;
                return -1;
            }
            options.view = number;
        } else {
            error = "unknown option " + arg;
            return -1;
        }
    }
    if (options.root.empty()) {
        error = "--root is required";
        return -1;
    }
    return 0;
}

}  // namespace tw_server
