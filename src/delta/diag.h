// One-line diagnostics of the delta engine on standard error, prefixed with
// the source file name and line: "delta_handler.cpp (120): text".
#pragma once

#include <cstdio>

#define DELTA_DIAG(format, ...) \
    std::fprintf(stderr, "%s (%d): " format "\n", __FILE_NAME__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
