// The one check every producer of session-relative paths runs before a path
// becomes an event, a record or a file operation: an event path names an
// item strictly inside its session folder.
//
// A valid path starts with "/", has no empty, "." or ".." component, no NUL
// byte, no trailing "/", is shorter than 4096 bytes and has no component of
// 1024 bytes or more. The root "/" itself is valid only where the caller
// allows it (an event on the whole session, such as a rescan of "/").
//
// The check is on bytes: it neither normalises nor decodes, so two paths that
// pass are the same item exactly when their bytes are equal.
#pragma once

#include <cstddef>

#include "base/ustring.h"

enum class EventPathRoot { Refuse, Allow };

// Why a path was refused, for the caller's log line; nullptr when it passes.
// The byte form is for text that has not become a ustring yet (a ustring
// ends at its first NUL, which would hide the fault).
const char* EventPathProblem(const char* path, size_t length, EventPathRoot root);

inline const char* EventPathProblem(const ustring& path, EventPathRoot root) {
    return EventPathProblem(path.c_str(), path.length(), root);
}

inline bool IsValidEventPath(const ustring& path, EventPathRoot root) {
    return EventPathProblem(path, root) == nullptr;
}

// The limits above, for callers that build paths.
constexpr size_t kEventPathMaxBytes = 4095;
constexpr size_t kEventPathMaxComponentBytes = 1023;
