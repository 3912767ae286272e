// tidewell-ctl's command line: a command, an optional sub-command and
// positional arguments, options with a value (--name VALUE) and flags
// (--name), in any order.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace ctl {

struct Options {
    std::string command;
    std::vector<std::string> args;  // everything after the command that is not an option
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    std::string config;  // --config, or $TIDEWELL_CONFIG
    bool json = false;
    bool verbose = false;

    bool flag(const std::string& name) const { return flags.count(name) != 0; }
    bool has(const std::string& name) const { return values.count(name) != 0; }
    std::string value(const std::string& name, const std::string& fallback = "") const {
        auto it = values.find(name);
        return it == values.end() ? fallback : it->second;
    }
};

enum class ParseResult { kOk, kHelp, kError };

// Fills `o`; kError with `error` set for an unknown option, an option
// without its value, or no configuration.
ParseResult ParseOptions(int argc, char** argv, Options& o, std::string& error);

// The usage text.
const char* UsageText();

}  // namespace ctl
