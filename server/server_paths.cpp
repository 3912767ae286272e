#include "server/server_paths.h"

namespace tw_server {

namespace {

bool IsRoot(std::string_view path) {
    return path.size() == 1 && path[0] == '/';
}

}  // namespace

const char* ViewPathProblem(std::string_view path, EventPathRoot root) {
    const char* problem = EventPathProblem(path.data(), path.size(), root);
    if (problem != nullptr) return problem;
    if (path.find('\\') != std::string_view::npos) return "backslash in path";
    return nullptr;
}

std::string ParentOf(std::string_view path) {
    size_t slash = path.rfind('/');
    if (slash == 0 || slash == std::string_view::npos) return "/";
    return std::string(path.substr(0, slash));
}

std::string_view NameOf(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> AncestorsOf(std::string_view path) {
    std::vector<std::string> out;
    for (size_t slash = path.find('/', 1); slash != std::string_view::npos; slash = path.find('/', slash + 1)) {
        out.emplace_back(path.substr(0, slash));
    }
    return out;
}

bool IsBelow(std::string_view path, std::string_view folder) {
    if (IsRoot(folder)) return path.size() > 1 && path.front() == '/';
    return path.size() > folder.size() + 1 && path.substr(0, folder.size()) == folder && path[folder.size()] == '/';
}

std::string RelativeTo(std::string_view path, std::string_view folder) {
    if (IsRoot(folder)) return std::string(path);
    return std::string(path.substr(folder.size()));
}

void BelowRange(std::string_view folder, std::string& lower, std::string& upper) {
    // "0" is the byte after "/": every path that continues `folder` with "/"
    // sorts between folder + "/" and folder + "0".
    if (IsRoot(folder)) {
        lower = "/";
        upper = "0";
        return;
    }
    lower = std::string(folder) + "/";
    upper = std::string(folder) + "0";
}

}  // namespace tw_server
