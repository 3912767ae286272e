// "tidewell-server ls": the live tree of a view, one line an item, sorted
// by path bytes:
//
//   PATH <TAB> dir|file <TAB> SYNC_ID <TAB> SIZE <TAB> MD4
//
// Folders show size 0 and MD4 "-". Bytes below 0x20 and 0x7f in a path are
// written as \xHH (a view path never holds "\", so the form is
// unambiguous). Reads the index of a running or stopped server.
#pragma once

#include <cstdio>

#include "server/server_options.h"

namespace tw_server {

// 0, or 1 after a message on `err`.
int RunLs(const LsOptions& options, FILE* out, FILE* err);

}  // namespace tw_server
