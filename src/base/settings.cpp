#include "base/settings.h"

#include "base/config.h"
#include "base/logger.h"

namespace {

constexpr unsigned kDefaultWorkerCount = 3;
// The task table holds the four fixed tasks and worker_count - 1 workers.
constexpr int kMinWorkerCount = 2;

}  // namespace

Settings& Settings::getInstance() {
    static Settings instance;
    return instance;
}

Settings::Settings() {
    resetToDefaults();
}

void Settings::resetToDefaults() {
    std::lock_guard<std::mutex> guard(lock);
    pid_file_path = "/var/run/tidewell-daemon.pid";
    log_file_path = "/var/log/tidewell-daemon.log";
    log_level_file_path = "/var/log/tidewell-daemon.debug";
    cert_path = "";
    work_dir_name = ".CorvexaWorkingDirectory";
    fstat_db_path = "/tmp/file-status.sqlite";
    filter_db_path = "/tmp/filter.sqlite";
    history_db_path = "/tmp/history.sqlite";
    system_filter_path = "/tmp/filter";
    worker_count = kDefaultWorkerCount;
    socket_path = "";
    ui_socket_path = "";
    ui_port = 1024;
    is_foreground = false;
}

int Settings::loadConfigSettings(const ustring& path) {
    std::lock_guard<std::mutex> guard(lock);
    Config config;
    if (config.read(path) != 0) return -1;

    auto take = [&config](const char* key, ustring& field) {
        auto it = config.store.find(key);
        if (it != config.store.end() && !it->second.empty()) field = it->second;
    };
    auto has = [&config](const char* key) {
        auto it = config.store.find(key);
        return it != config.store.end() && !it->second.empty();
    };

    take("history_db_path", history_db_path);
    take("fstat_db_path", fstat_db_path);
    take("filter_db_path", filter_db_path);
    take("system_filter_path", system_filter_path);
    take("pid_file_path", pid_file_path);
    take("log_file_path", log_file_path);
    take("log_level_file_path", log_level_file_path);
    take("cert_path", cert_path);
    take("work_dir_name", work_dir_name);
    if (has("worker_count")) {
        int count = config.get_int("worker_count");
        if (count < kMinWorkerCount) {
            TW_WARNING("client_debug", "worker_count %d refused (at least %d is needed); keeping %u\n", count,
                       kMinWorkerCount, worker_count);
        } else {
            worker_count = static_cast<unsigned>(count);
        }
    }
    take("socket_path", socket_path);
    take("ui_socket_path", ui_socket_path);
    if (has("ui_port")) ui_port = config.get_int("ui_port");
    if (has("is_foreground")) is_foreground = config.store["is_foreground"] == "true";
    return 0;
}

#define TW_SETTINGS_GETTER(type, name, field)    \
    type Settings::name() {                      \
        std::lock_guard<std::mutex> guard(lock); \
        return field;                            \
    }

TW_SETTINGS_GETTER(ustring, getPidFilePath, pid_file_path)
TW_SETTINGS_GETTER(ustring, getLogFilePath, log_file_path)
TW_SETTINGS_GETTER(ustring, getLogLevelFilePath, log_level_file_path)
TW_SETTINGS_GETTER(ustring, getCertPath, cert_path)
TW_SETTINGS_GETTER(ustring, getWorkDirName, work_dir_name)
TW_SETTINGS_GETTER(ustring, getFStatDbPath, fstat_db_path)
TW_SETTINGS_GETTER(ustring, getFilterDbPath, filter_db_path)
TW_SETTINGS_GETTER(ustring, getHistoryDbPath, history_db_path)
TW_SETTINGS_GETTER(ustring, getSystemFilterPath, system_filter_path)
TW_SETTINGS_GETTER(ustring, getSocketPath, socket_path)
TW_SETTINGS_GETTER(ustring, getUISocketPath, ui_socket_path)
TW_SETTINGS_GETTER(unsigned, getWorkerCount, worker_count)
TW_SETTINGS_GETTER(int, getUIPort, ui_port)
TW_SETTINGS_GETTER(bool, isForeground, is_foreground)
