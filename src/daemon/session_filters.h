// The comparison of a session's filter files with the filters the filter
// database recorded for it: new and stricter filters are recorded; removed
// and loosened ones leave resume conditions (in the database and the
// progress cache) from which the progress syncer fetches what they held
// back.
#pragma once

#include <cstdint>

#include "base/ustring.h"

// Reads both files, stamps their selective-sync filters with `sync_id` and
// compares them, kind by kind, with the database's. 0, or -1 (logged) at
// the first file or database failure.
int reload_filter(uint64_t sess_id, uint64_t sync_id, const ustring& black_list_path,
                  const ustring& white_list_path);
