#include "net/proxy_log.h"

#include <atomic>

namespace {

std::atomic<PROXY_LOG_CB> g_callback{nullptr};

}  // namespace

void CORVProxyInitLogger(PROXY_LOG_CB callback) {
    g_callback.store(callback, std::memory_order_release);
}

void ProxyLog(int level, const char* format, ...) {
    PROXY_LOG_CB callback = g_callback.load(std::memory_order_acquire);
    if (callback == nullptr) return;
    va_list args;
    va_start(args, format);
    callback(level, "proxy_debug", format, args);
    va_end(args);
}
