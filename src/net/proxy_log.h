// The proxy client's diagnostics, passed to the callback the caller installed
// (CORVProxyInitLogger) and dropped while there is none.
#pragma once

#include "net/proxy_client.h"

void ProxyLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
