// The command line of tidewell-server.
//
//   tidewell-server --root DIR --listen HOST:PORT (--token TOKEN | --token-file FILE)...
//                   [--view ID[:ro]]... [--tls-cert FILE --tls-key FILE]
//                   [--page-size N] [--keep-versions N] [--keepalive-seconds N]
//                   [--no-fsync] [--fault-file FILE] [--port-file FILE]
//   tidewell-server ls --root DIR [--view ID]
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tw_server {

struct ViewDeclaration {
    uint64_t id = 1;
    bool read_only = false;
};

struct ServerOptions {
    std::string root;
    std::string host;  // dotted IPv4
    int port = 0;      // 0: any free port (see port_file)
    std::vector<std::string> tokens;
    std::vector<ViewDeclaration> views;
    std::string tls_cert;
    std::string tls_key;
    uint32_t page_size = 1000;
    uint32_t keep_versions = 3;
    uint32_t keepalive_seconds = 20;
    bool fsync = true;
    std::string fault_file;  // default: ROOT/faults
    std::string port_file;   // written with the bound port once listening
};

struct LsOptions {
    std::string root;
    uint64_t view = 1;
};

// Parses the server's arguments (without the program name). 0, or -1 with
// `error`. Tokens from --token-file are read here.
int ParseServerOptions(int argc, char** argv, ServerOptions& options, std::string& error);
int ParseLsOptions(int argc, char** argv, LsOptions& options, std::string& error);

const char* UsageText();

}  // namespace tw_server
