// Opening files for streaming with stdio.
#pragma once

#include <cstdio>

#include "base/ustring.h"

// Opens `path` as a buffered stream. The first letter of `mode` decides:
// "r" an existing file for reading, "w" created or truncated for writing,
// "a" opened or created with every write appended, anything else created or
// truncated for reading and writing. Logs and returns null on failure.
FILE* xfopen(const ustring& path, const char* mode);
