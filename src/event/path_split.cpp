#include "event/path_split.h"

namespace path_split {

Result Split(std::string_view path, std::string_view& dir_part, std::string_view& base) {
    if (path.size() >= kMaxPathBytes) return TOO_LONG;
    if (path.empty() || path.back() == '/') return TRAILING_SLASH;

    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        dir_part = std::string_view();
        base = path;
    } else {
        dir_part = path.substr(0, slash);
        base = path.substr(slash + 1);
    }
    if (base.size() > kMaxNameBytes) return TOO_LONG;

    size_t pos = 0;
    std::string_view comp;
    while (NextComponent(dir_part, pos, comp)) {
        if (comp.size() > kMaxNameBytes) return TOO_LONG;
    }
    return OK;
}

}  // namespace path_split
