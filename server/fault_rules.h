// Fault injection for tests: rules read from a text file that the server
// rereads whenever it changes, so that a running server can be made to
// misbehave without a restart.
//
// One rule a line; blank lines and lines starting with "#" are ignored:
//
//   KIND [action=NAME] [path=PATH] [ARG=VALUE]... [once|always]
//
//   cut-request after=N   close the connection once N bytes of the request
//                         (counted from its header) have been read
//   cut-answer after=N    close it once N bytes of the answer (keep-alive
//                         notices not counted) have been written
//   delay seconds=S       answer S seconds late, with keep-alive notices
//   stall [seconds=S] [silent]
//                         never answer: wait S seconds (default: until the
//                         client leaves), with keep-alive notices unless
//                         silent, then close; the request is not carried out
//   error code=C          answer {"error": {"code": C}} instead of carrying
//                         the request out
//   refuse-connect        answer "connect" with "alive" 0
//
// `action` names the request ("*" or absent: any); `path` the request's
// "path" member exactly (absent: any; cut-request rules match on the action
// alone, since the path arrives late in the request). A rule fires on every
// match ("always", the default) or on the first one only ("once"); a fired
// rule stays spent until the file changes. The first matching rule of a
// kind wins. Lines that cannot be parsed are logged and skipped.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tw_server {

enum class FaultKind { CutRequest, CutAnswer, Delay, Stall, Error, RefuseConnect };

struct FaultRule {
    FaultKind kind = FaultKind::Error;
    std::string action;  // empty: any
    std::string path;
    bool has_path = false;
    uint64_t bytes = 0;
    uint32_t seconds = 0;  // stall: 0 = until the client leaves
    bool silent = false;
    uint32_t code = 0;
    bool once = false;
    bool fired = false;
    std::string text;  // the line, for log messages
};

// Parses one line; false (with `problem`) when it is not a rule. Blank and
// comment lines are not rules either: `problem` stays empty for them.
bool ParseFaultRule(const std::string& line, FaultRule& rule, std::string& problem);

class FaultInjector {
public:
    // An empty path: no rules, ever.
    explicit FaultInjector(std::string path) : path_(std::move(path)) {}

    // Rereads the file when its identity, size or time changed.
    void Reload();

    // The first unspent rule of `kind` for this action and path; a "once"
    // rule is spent by being taken.
    std::optional<FaultRule> Take(FaultKind kind, const std::string& action, const std::string* path);

private:
    const std::string path_;
    std::mutex lock_;  // guards everything below
    bool loaded_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    off_t size_ = 0;
    int64_t mtime_ns_ = 0;
    std::vector<FaultRule> rules_;
};

}  // namespace tw_server
