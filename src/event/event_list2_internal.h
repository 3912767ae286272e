// Helpers shared by the files that implement EventList2; not for other users.
#pragma once

#include <string_view>

#include "base/logger.h"

namespace event_list2_internal {

inline constexpr const char* kLog = "event_list_debug";

inline bool IsRootPath(std::string_view path) {
    return path.size() == 1 && path[0] == '/';
}

inline bool LogEnabled(Logger::Level level) {
    return Logger::Enabled(level, kLog);
}

}  // namespace event_list2_internal

// printf arguments for a string_view printed with "%.*s".
#define TW_SV(v) static_cast<int>((v).size()), (v).data()
