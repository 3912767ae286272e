#include "server/fault_rules.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/logger.h"

namespace tw_server {

namespace {

const char* const kComponent = "server";

bool ParseNumber(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 19) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    out = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

}  // namespace

bool ParseFaultRule(const std::string& line, FaultRule& rule, std::string& problem) {
    problem.clear();
    std::istringstream words(line);
    std::string kind;
    if (!(words >> kind) || kind[0] == '#') return false;

    rule = FaultRule{};
    rule.text = line;
    if (kind == "cut-request")
        rule.kind = FaultKind::CutRequest;
    else if (kind == "cut-answer")
        rule.kind = FaultKind::CutAnswer;
    else if (kind == "delay")
        rule.kind = FaultKind::Delay;
    else if (kind == "stall")
        rule.kind = FaultKind::Stall;
    else if (kind == "error")
        rule.kind = FaultKind::Error;
    else if (kind == "refuse-connect")
        rule.kind = FaultKind::RefuseConnect;
    else {
        problem = "unknown kind \"" + kind + "\"";
        return false;
    }

    bool has_bytes = false, has_seconds = false, has_code = false;
    std::string word;
    while (words >> word) {
        if (word == "once" || word == "always") {
            rule.once = word == "once";
            continue;
        }
        if (word == "silent" && rule.kind == FaultKind::Stall) {
            rule.silent = true;
            continue;
        }
        size_t eq = word.find('=');
        if (eq == std::string::npos) {
            problem = "\"" + word + "\" is not KEY=VALUE";
            return false;
        }
        std::string key = word.substr(0, eq), value = word.substr(eq + 1);
        uint64_t number = 0;
        if (key == "action") {
            rule.action = value == "*" ? "" : value;
        } else if (key == "path") {
            rule.path = value;
            rule.has_path = true;
        } else if (key == "after" && (rule.kind == FaultKind::CutRequest || rule.kind == FaultKind::CutAnswer) &&
                   ParseNumber(value, number)) {
            rule.bytes = number;
            has_bytes = true;
        } else if (key == "seconds" && (rule.kind == FaultKind::Delay || rule.kind == FaultKind::Stall) &&
                   ParseNumber(value, number) && number <= 86400) {
            rule.seconds = static_cast<uint32_t>(number);
            has_seconds = true;
        } else if (key == "code" && rule.kind == FaultKind::Error && ParseNumber(value, number) &&
                   number <= 0xFFFFFFFFu) {
            rule.code = static_cast<uint32_t>(number);
            has_code = true;
        } else {
            problem = "\"" + word + "\" does not fit a " + kind + " rule";
            return false;
        }
    }
    if ((rule.kind == FaultKind::CutRequest || rule.kind == FaultKind::CutAnswer) && !has_bytes) {
        problem = kind + " needs after=N";
        return false;
    }
    if (rule.kind == FaultKind::Delay && !has_seconds) {
        problem = "delay needs seconds=S";
        return false;
    }
    if (rule.kind == FaultKind::Error && !has_code) {
        problem = "error needs code=C";
        return false;
    }
    if (rule.kind == FaultKind::RefuseConnect) rule.action = "connect";
    return true;
}

void FaultInjector::Reload() {
    if (path_.empty()) return;
    struct stat st {};
    bool present = stat(path_.c_str(), &st) == 0;
    int64_t mtime_ns = present ? int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec : 0;

    std::lock_guard<std::mutex> guard(lock_);
    if (loaded_ && present && st.st_dev == dev_ && st.st_ino == ino_ && st.st_size == size_ && mtime_ns == mtime_ns_) {
        return;
    }
    if (loaded_ && !present && rules_.empty() && ino_ == 0) return;
    loaded_ = true;
    rules_.clear();
    dev_ = present ? st.st_dev : 0;
    ino_ = present ? st.st_ino : 0;
    size_ = present ? st.st_size : 0;
    mtime_ns_ = mtime_ns;
    if (!present) return;

    std::ifstream in(path_);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        FaultRule rule;
        std::string problem;
        if (ParseFaultRule(line, rule, problem)) {
            rules_.push_back(rule);
        } else if (!problem.empty()) {
            TW_WARNING(kComponent, "fault file %s line %d skipped: %s\n", path_.c_str(), number, problem.c_str());
        }
    }
    TW_INFO(kComponent, "fault file %s: %zu rules\n", path_.c_str(), rules_.size());
}

std::optional<FaultRule> FaultInjector::Take(FaultKind kind, const std::string& action, const std::string* path) {
    std::lock_guard<std::mutex> guard(lock_);
    for (FaultRule& rule : rules_) {
        if (rule.kind != kind || rule.fired) continue;
        if (!rule.action.empty() && rule.action != action) continue;
        if (rule.has_path && (path == nullptr || *path != rule.path)) continue;
        if (rule.once) rule.fired = true;
        TW_INFO(kComponent, "fault rule fires: %s\n", rule.text.c_str());
        return rule;
    }
    return std::nullopt;
}

}  // namespace tw_server
