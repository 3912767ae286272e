// The process-wide log: every module writes through Logger::LogMsg with a
// severity level and its component name. A level file sets a threshold per
// component; the file form rotates by size.
//
// Call sites use the TW_* macros, which supply the level tag, the source file
// name and the line of the call, so that every line reads
// "[ERROR] file.cpp(123): text".
#pragma once

#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

#include "base/ustring.h"

class Logger {
public:
    enum Level {
        L_EMERG = 0,
        L_ALERT = 1,
        L_CRIT = 2,
        L_ERR = 3,
        L_WARNING = 4,
        L_NOTICE = 5,
        L_INFO = 6,
        L_DEBUG = 7,
    };

    enum Type {
        ANDROID_LOGGER = 0,
        SYSLOG_LOGGER = 1,
        STDOUT_LOGGER = 2,
        STDERR_LOGGER = 3,
        FILE_LOGGER = 4,
    };

    // Sets up the log; 0, or -1 when a file log is asked for with an empty
    // path or a file that cannot be opened. Called before other threads exist.
    static int Initialize(Type type, const ustring& log_path, const ustring& level_path, int rotate_cnt);

    // Writes one message (printf format, UTF-8 text) if the component's
    // threshold lets it through.
    static void LogMsg(Level level, const ustring& component, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    static void LogMsg(Level level, const char* component, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    static void LogMsg2(Level level, const ustring& component, const char* format, va_list args)
        __attribute__((format(printf, 3, 0)));
    static void LogMSG_c(int level, const char* component, const char* format, va_list args)
        __attribute__((format(printf, 3, 0)));

    // Closes a file log and returns to console output.
    static void Destroy();

    // Whether a message of `level` for `component` would be written.
    static bool Enabled(Level level, const char* component);

    // The size beyond which the file log rotates (1048576 characters); tests
    // lower it to exercise rotation without writing a megabyte.
    static void SetRotateThresholdForTesting(long characters);

private:
    friend class LoggerTestAccess;
    // Moves the live file to old(0) (shifting the older ones) and opens a
    // fresh live file, also when the live file could not be moved: 0, or -1
    // when a step failed. A fresh file that cannot be opened is reported on
    // standard error and ends logging. REQUIRES: log_lock held.
    static int Rotate();
    static void Write(Level level, const char* component, const char* format, va_list args);
    static int ThresholdLocked(const char* component);
    static int OpenLogFile();

    struct Less {
        using is_transparent = void;
        bool operator()(const ustring& a, const ustring& b) const { return a < b; }
        bool operator()(const ustring& a, const char* b) const;
        bool operator()(const char* a, const ustring& b) const;
    };

    static Type log_type;
    static FILE* log_fp;
    static long log_size;
    static int rotate_cnt;
    static std::mutex log_lock;
    static std::map<ustring, int, Less> log_level;
    static ustring log_path;
};

#define TW_LOG_AT_(level, tag, component, format, ...) \
    ::Logger::LogMsg(level, component, tag " " __FILE_NAME__ "(%d): " format, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

#define TW_CRIT(component, format, ...) \
    TW_LOG_AT_(::Logger::L_CRIT, "[CRIT]", component, format __VA_OPT__(, ) __VA_ARGS__)
#define TW_ERROR(component, format, ...) \
    TW_LOG_AT_(::Logger::L_ERR, "[ERROR]", component, format __VA_OPT__(, ) __VA_ARGS__)
#define TW_WARNING(component, format, ...) \
    TW_LOG_AT_(::Logger::L_WARNING, "[WARNING]", component, format __VA_OPT__(, ) __VA_ARGS__)
#define TW_NOTE(component, format, ...) \
    TW_LOG_AT_(::Logger::L_NOTICE, "[NOTE]", component, format __VA_OPT__(, ) __VA_ARGS__)
#define TW_INFO(component, format, ...) \
    TW_LOG_AT_(::Logger::L_INFO, "[INFO]", component, format __VA_OPT__(, ) __VA_ARGS__)
#define TW_DEBUG(component, format, ...) \
    TW_LOG_AT_(::Logger::L_DEBUG, "[DEBUG]", component, format __VA_OPT__(, ) __VA_ARGS__)
