#include "base/logger.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "base/config.h"

namespace {

constexpr int kDefaultThreshold = Logger::L_WARNING;

// The highest threshold of any component (at least the default one): a
// message above it cannot pass, so it is dropped without taking the lock.
std::atomic<int> g_max_threshold{kDefaultThreshold};
std::atomic<long> g_rotate_threshold{1048576};

ustring old_log_name(const ustring& path, int n) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "_%d", n);
    return path + suffix;
}

}  // namespace

Logger::Type Logger::log_type = Logger::STDOUT_LOGGER;
FILE* Logger::log_fp = stderr;
long Logger::log_size = -1;
int Logger::rotate_cnt = 50;
std::mutex Logger::log_lock;
std::map<ustring, int, Logger::Less> Logger::log_level;
ustring Logger::log_path;

bool Logger::Less::operator()(const ustring& a, const char* b) const {
    return std::strcmp(a.c_str(), b) < 0;
}
bool Logger::Less::operator()(const char* a, const ustring& b) const {
    return std::strcmp(a, b.c_str()) < 0;
}

int Logger::OpenLogFile() {
    // "e": the descriptor is not inherited by child processes (O_CLOEXEC).
    log_fp = std::fopen(log_path.c_str(), "ae");
    return log_fp ? 0 : -1;
}

int Logger::Initialize(Type type, const ustring& log_path_arg, const ustring& level_path, int rotate_count) {
    log_level.clear();
    log_level["default_component"] = kDefaultThreshold;
    if (!level_path.empty()) {
        Config levels;
        if (levels.read(level_path) == 0) {
            for (auto& [component, value] : levels.store) log_level[component] = Config::parse_int(value.c_str());
        }
    }
    int max_threshold = kDefaultThreshold;
    for (auto& entry : log_level) max_threshold = std::max(max_threshold, entry.second);
    g_max_threshold.store(max_threshold);

    if (log_fp && log_fp != stdout && log_fp != stderr) std::fclose(log_fp);
    log_fp = nullptr;
    log_type = type;
    switch (type) {
        case SYSLOG_LOGGER:
            log_fp = nullptr;
            break;
        case STDOUT_LOGGER:
            log_fp = stdout;
            break;
        case STDERR_LOGGER:
            log_fp = stderr;
            break;
        case FILE_LOGGER:
        case ANDROID_LOGGER:
            if (log_path_arg.empty()) return -1;
            log_path = log_path_arg;
            if (OpenLogFile() != 0) {
                log_path.clear();
                return -1;
            }
            log_size = 0;
            rotate_cnt = rotate_count;
            return 0;
    }
    log_path.clear();
    log_size = -1;
    return 0;
}

int Logger::ThresholdLocked(const char* component) {
    auto it = log_level.find(component);
    return it == log_level.end() ? kDefaultThreshold : it->second;
}

bool Logger::Enabled(Level level, const char* component) {
    if (level > g_max_threshold.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> guard(log_lock);
    return level <= ThresholdLocked(component);
}

void Logger::Write(Level level, const char* component, const char* format, va_list args) {
    if (level > g_max_threshold.load(std::memory_order_relaxed)) return;

    std::lock_guard<std::mutex> guard(log_lock);
    if (level > ThresholdLocked(component)) return;

    if (log_type == ANDROID_LOGGER || log_type == SYSLOG_LOGGER) {
        std::vfprintf(stderr, format, args);
        return;
    }
    if (!log_fp) return;

    char stamp[64];
    time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    size_t stamp_len = std::strftime(stamp, sizeof stamp, "%b %d %H:%M:%S ", &local);
    long written = static_cast<long>(std::fwrite(stamp, 1, stamp_len, log_fp));
    int n = std::vfprintf(log_fp, format, args);
    if (n > 0) written += n;
    std::fflush(log_fp);

    if (log_type == FILE_LOGGER && log_size >= 0) {
        log_size += written;
        if (log_size > g_rotate_threshold.load()) {
            Rotate();
            log_size = 0;
        }
    }
}

void Logger::LogMsg(Level level, const ustring& component, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Write(level, component.c_str(), format, args);
    va_end(args);
}

void Logger::LogMsg(Level level, const char* component, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Write(level, component ? component : "", format, args);
    va_end(args);
}

void Logger::LogMsg2(Level level, const ustring& component, const char* format, va_list args) {
    Write(level, component.c_str(), format, args);
}

void Logger::LogMSG_c(int level, const char* component, const char* format, va_list args) {
    Write(static_cast<Level>(level), component ? component : "", format, args);
}

int Logger::Rotate() {
    for (int i = rotate_cnt - 2; i >= 0; --i) {
        ustring from = old_log_name(log_path, i);
        ustring to = old_log_name(log_path, i + 1);
        std::rename(from.c_str(), to.c_str());
    }
    std::remove(old_log_name(log_path, rotate_cnt - 1).c_str());

    if (log_fp) std::fclose(log_fp);
    log_fp = nullptr;
    // The rename fails when someone else has removed or moved the live file;
    // what was written to it is then wherever they put it, and logging goes
    // on in a fresh file all the same.
    int renamed = std::rename(log_path.c_str(), old_log_name(log_path, 0).c_str());
    if (OpenLogFile() != 0) {
        // Nothing is written from now on (and so nothing rotates again), so
        // this is said once.
        std::fprintf(stderr, "Tidewell: cannot reopen the log file '%s' after rotating it: %s\n", log_path.c_str(),
                     std::strerror(errno));
        return -1;
    }
    return renamed == 0 ? 0 : -1;
}

void Logger::Destroy() {
    std::lock_guard<std::mutex> guard(log_lock);
    if (log_type != FILE_LOGGER) return;
    if (log_fp) std::fclose(log_fp);
    log_fp = stdout;
    log_type = STDERR_LOGGER;
    log_size = -1;
    log_path.clear();
    rotate_cnt = 32;
}

void Logger::SetRotateThresholdForTesting(long characters) {
    g_rotate_threshold.store(characters);
}
