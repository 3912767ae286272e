// What the processor offers the vectorised paths, asked once.
#pragma once

inline bool has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
#else
    return false;
#endif
}
