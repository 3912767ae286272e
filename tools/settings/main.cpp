// tidewell-settings CONFIG: reads a configuration file as the daemon does and
// prints the settings in force, then logs one line through the configured log.
#include <cstdio>
#include <cstring>

#include "base/logger.h"
#include "base/settings.h"

int main(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: %s CONFIG_FILE\n", argv[0]);
        return argc == 2 ? 0 : 2;
    }
    Settings& s = Settings::getInstance();
    if (s.loadConfigSettings(argv[1]) != 0)
        std::printf("# %s could not be read or holds an invalid line: the defaults stay\n", argv[1]);

    std::printf("pid_file_path=%s\n", s.getPidFilePath().c_str());
    std::printf("log_file_path=%s\n", s.getLogFilePath().c_str());
    std::printf("log_level_file_path=%s\n", s.getLogLevelFilePath().c_str());
    std::printf("cert_path=%s\n", s.getCertPath().c_str());
    std::printf("work_dir_name=%s\n", s.getWorkDirName().c_str());
    std::printf("fstat_db_path=%s\n", s.getFStatDbPath().c_str());
    std::printf("filter_db_path=%s\n", s.getFilterDbPath().c_str());
    std::printf("history_db_path=%s\n", s.getHistoryDbPath().c_str());
    std::printf("system_filter_path=%s\n", s.getSystemFilterPath().c_str());
    std::printf("worker_count=%u\n", s.getWorkerCount());
    std::printf("socket_path=%s\n", s.getSocketPath().c_str());
    std::printf("ui_socket_path=%s\n", s.getUISocketPath().c_str());
    std::printf("ui_port=%d\n", s.getUIPort());
    std::printf("is_foreground=%s\n", s.isForeground() ? "true" : "false");
    std::fflush(stdout);

    Logger::Type type = s.isForeground() ? Logger::STDOUT_LOGGER : Logger::FILE_LOGGER;
    if (Logger::Initialize(type, s.getLogFilePath(), s.getLogLevelFilePath(), 50) != 0) {
        std::fprintf(stderr, "cannot open the log %s\n", s.getLogFilePath().c_str());
        return 1;
    }
    TW_WARNING("client_debug", "settings read from %s\n", argv[1]);
    if (!s.isForeground()) std::printf("# one line was logged to %s\n", s.getLogFilePath().c_str());
    return 0;
}
