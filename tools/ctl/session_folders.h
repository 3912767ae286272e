// What "session add" and "sync" check and prepare on disk: the sync folder
// (it must exist, and no two sessions may nest), and the session's
// configuration folder with its default filter files.
#pragma once

#include <string>

#include "setup_state.h"

namespace ctl {

// The folder as an absolute path without links, or "" with `error` when it
// is not an existing directory.
std::string ResolveSyncFolder(const std::string& folder, std::string& error);

// Why `folder` (resolved) cannot be the sync folder of session `id`: it is
// another session's folder, lies inside one, or holds one. "" when it can.
std::string FolderConflict(const SavedSetup& setup, const std::string& folder, uint64_t id);

// The default configuration folder of a session: FILE.sessions/ID.
std::string DefaultConfigDir(const std::string& config, uint64_t id);

// Creates `dir` and its "conf" folder (owner-only) with the three filter
// files, each written only when missing: a black list that excludes
// nothing beyond the system filter, a white list that lets every extension
// in ("*": an empty white list would filter every file out) and an empty
// forced-hash list. False with `error`.
bool PrepareConfigDir(const std::string& dir, std::string& error);

}  // namespace ctl
