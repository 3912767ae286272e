// The process-wide start-up settings: built-in defaults, overwritten once at
// start from the configuration file.
#pragma once

#include <mutex>

#include "base/ustring.h"

class Settings {
public:
    static Settings& getInstance();

    // 0 after the file was read, -1 when it cannot be read or holds an
    // invalid line (every setting then keeps its value).
    int loadConfigSettings(const ustring& path);

    ustring getPidFilePath();
    ustring getLogFilePath();
    ustring getLogLevelFilePath();
    ustring getCertPath();
    ustring getWorkDirName();
    ustring getFStatDbPath();
    ustring getFilterDbPath();
    ustring getHistoryDbPath();
    ustring getSystemFilterPath();
    ustring getSocketPath();
    ustring getUISocketPath();
    unsigned getWorkerCount();
    int getUIPort();
    bool isForeground();

    // Restores every built-in default.
    void resetToDefaults();

    Settings();

private:
    std::mutex lock;
    ustring pid_file_path;
    ustring log_file_path;
    ustring log_level_file_path;
    ustring cert_path;
    ustring work_dir_name;
    ustring fstat_db_path;
    ustring filter_db_path;
    ustring history_db_path;
    ustring system_filter_path;
    unsigned worker_count;
    ustring socket_path;
    ustring ui_socket_path;
    int ui_port;
    bool is_foreground;
};
