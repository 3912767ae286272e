#include "session_folders.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "daemon_client.h"

namespace ctl {

namespace {

const char kBlackList[] =
    "# The session's black list: what this session never synchronises, on top of\n"
    "# the system filter. Keys: [Common] black_char, black_prefix, black_dir_prefix,\n"
    "# black_name, black_path_prefix_selective_sync, max_length, max_path;\n"
    "# [File] black_ext, black_name, black_prefix, black_ext_selective_sync,\n"
    "# black_name_selective_sync, max_size, max_size_selective_sync (0: no limit);\n"
    "# [Directory] black_char, black_name, black_prefix. After a change:\n"
    "#     tidewell-ctl session reload ID --reload-filter\n"
    "[Version]\n"
    "major = 1\n"
    "minor = 0\n"
    "[Common]\n"
    "[File]\n"
    "[Directory]\n";

const char kWhiteList[] =
    "# The session's white list: the file extensions that take part. \"*\" lets\n"
    "# every extension in; a list without entries would let no file in.\n"
    "[Version]\n"
    "major = 1\n"
    "minor = 0\n"
    "[File]\n"
    "white_ext = \"*\"\n";

const char kForceHashList[] =
    "# Extensions whose files are always compared by content hash\n"
    "# (force_hash_ext in [File]; \"*\" for every file).\n"
    "[Version]\n"
    "major = 1\n"
    "minor = 0\n"
    "[File]\n";

bool make_dir(const std::string& path, std::string& error) {
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
        error = path + " exists and is not a folder";
        return false;
    }
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
}

bool make_dirs(const std::string& path, std::string& error) {
    for (size_t pos = 1; (pos = path.find('/', pos)) != std::string::npos; ++pos)
        if (!make_dir(path.substr(0, pos), error)) return false;
    return make_dir(path, error);
}

bool write_if_missing(const std::string& path, const char* text, std::string& error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return true;
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    size_t length = std::strlen(text);
    bool ok = write(fd, text, length) == static_cast<ssize_t>(length);
    ok = close(fd) == 0 && ok;
    if (!ok) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(path.c_str());
    }
    return ok;
}

// Whether `inner` is `outer` or lies below it.
bool within(const std::string& inner, const std::string& outer) {
    if (inner == outer) return true;
    std::string prefix = outer == "/" ? outer : outer + "/";
    return inner.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::string ResolveSyncFolder(const std::string& folder, std::string& error) {
    char buf[PATH_MAX];
    if (!realpath(folder.c_str(), buf)) {
        error = "the sync folder " + folder + " does not exist (" + std::strerror(errno) + "); create it first";
        return "";
    }
    struct stat st;
    if (stat(buf, &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "the sync folder " + folder + " is not a folder";
        return "";
    }
    return buf;
}

std::string FolderConflict(const SavedSetup& setup, const std::string& folder, uint64_t id) {
    for (const SessionSetup& s : setup.sessions) {
        if (s.id == id) continue;
        std::string other = "session " + std::to_string(s.id) + "'s folder " + s.folder;
        if (folder == s.folder) return folder + " is already " + other;
        if (within(folder, s.folder)) return folder + " lies inside " + other;
        if (within(s.folder, folder)) return folder + " holds " + other;
    }
    return "";
}

std::string DefaultConfigDir(const std::string& config, uint64_t id) {
    return absolute(config) + ".sessions/" + std::to_string(id);
}

bool PrepareConfigDir(const std::string& dir, std::string& error) {
    std::string conf = dir + "/conf";
    return make_dirs(conf, error) && write_if_missing(conf + "/blacklist.filter", kBlackList, error) &&
           write_if_missing(conf + "/whitelist.filter", kWhiteList, error) &&
           write_if_missing(conf + "/force-hash-check-list.filter", kForceHashList, error);
}

}  // namespace ctl
