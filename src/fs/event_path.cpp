#include "fs/event_path.h"

#include <string_view>

const char* EventPathProblem(const char* data, size_t length, EventPathRoot root) {
    const std::string_view path(data, length);
    if (path.empty()) return "empty path";
    if (path.front() != '/') return "not rooted at \"/\"";
    if (path.size() > kEventPathMaxBytes) return "path too long";
    if (path.find('\0') != std::string_view::npos) return "NUL byte in path";
    if (path.size() == 1) return root == EventPathRoot::Allow ? nullptr : "the session root itself";
    if (path.back() == '/') return "trailing \"/\"";

    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view component = path.substr(start, end - start);
        if (component.empty()) return "empty component";
        if (component == std::string_view(".") || component == std::string_view("..")) return "\".\" or \"..\" component";
        if (component.size() > kEventPathMaxComponentBytes) return "component too long";
        start = end + 1;
    }
    return nullptr;
}
