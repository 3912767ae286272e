// Paths inside a view: the checks every request path passes before it
// reaches the index or the disk, and the small path algebra of the index.
//
// A view path is an event path (fs/event_path.h: "/"-rooted, no empty, "."
// or ".." component, no NUL, no trailing "/", within the length limits)
// that also holds no "\": a client on another platform would read it as a
// separator, so one name could mean two items. Paths are compared as bytes;
// they never name anything on the server's disk, where content lives under
// numbers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fs/event_path.h"

namespace tw_server {

// Why `path` is refused, or nullptr when it is a valid view path. The root
// "/" passes only with EventPathRoot::Allow.
const char* ViewPathProblem(std::string_view path, EventPathRoot root);

// The folder holding `path`: "/" for a top-level item. REQUIRES: a valid
// path other than "/".
std::string ParentOf(std::string_view path);

// The last component. REQUIRES: a valid path other than "/".
std::string_view NameOf(std::string_view path);

// The folders above `path`, outermost first, without "/".
std::vector<std::string> AncestorsOf(std::string_view path);

// Whether `path` lies strictly below `folder`; everything but "/" lies below "/".
bool IsBelow(std::string_view path, std::string_view folder);

// `path` as seen from `folder` (which it lies below): "/" + the rest.
std::string RelativeTo(std::string_view path, std::string_view folder);

// Bounds of the byte range holding every path strictly below `folder`:
// [lower, upper). For "/" the range is everything after "/".
void BelowRange(std::string_view folder, std::string& lower, std::string& upper);

}  // namespace tw_server
