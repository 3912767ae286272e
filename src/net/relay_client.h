// The relay tunnel client: on an SSL session with the relay endpoint, the
// upgrade request that names the real target with an encrypted token, and
// the reading of the relay's reply. The caller owns the SSL session and its
// socket whatever the outcome; nothing is logged here.
//
// Waits are readiness waits of `timeout` each; an operation gives
// RELAY_ERR_TIMEOUT when `channel_timeout` seconds pass without the socket
// becoming ready (0: the first timed-out wait), and RELAY_ERR_IO when the
// abort flag, if given, is set. Every SSL call runs with SIGPIPE held off.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>

#include "net/relay_reply.h"

typedef struct ssl_st SSL;

// The upgrade request and the request text's size limit.
constexpr size_t kRelayRequestLimit = 1024;

// Sends the upgrade request for `pszTargetHost`:`targetPort` and reads the
// reply. 0 when the relay reports success, the relay's status number when it
// reports another, RELAY_NO_STATUS when its reply has none, RELAY_ERR_IO or
// RELAY_ERR_TIMEOUT. A target whose request would not fit kRelayRequestLimit
// bytes, or with a blank or control character in its name, is refused with
// RELAY_ERR_IO before anything is sent.
int CORVTunnelClientHandshake(SSL* ssl, const char* pszTargetHost, int targetPort, timeval timeout,
                              unsigned channel_timeout, int* abort_flag = nullptr);

// The request text alone; 0 or RELAY_ERR_IO when it cannot be built or would
// not fit.
int CORVTunnelBuildRequest(const char* pszTargetHost, int targetPort, char* out, size_t out_size, size_t* len);

// Writes the whole buffer; 0, RELAY_ERR_IO or RELAY_ERR_TIMEOUT.
int CORVTunnelNonBlockingWrite(SSL* ssl, const char* buffer, size_t len, timeval m_timeout, uint32_t channel_timeout,
                               int* abort_flag = nullptr);

// Until the session has bytes to read: 0 at once when it holds decrypted
// bytes, else after a readiness wait; RELAY_ERR_IO or RELAY_ERR_TIMEOUT.
int SSL_read_timeout(SSL* ssl, timeval timeout, uint32_t channel_timeout, int* abort_flag = nullptr);
