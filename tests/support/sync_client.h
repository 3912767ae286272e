// The client side of the sync protocol for tests of the server: a
// connection admitted by one of the two handshakes, then requests one at a
// time, each one header plus one map, answered by one map after any number
// of keep-alive notices.
//
// It follows the daemon's server session in what it puts on the wire (the
// request envelope, the handshake forms, a fresh copy of the caller's
// initial answer for every message received, so that presets such as a
// resumed download's file.data survive and keep-alives do not leak into the
// answer), without the pool and the error translation, which the tests do
// not need.
#pragma once

#include <cstdint>
#include <string>

#include "net/channel.h"
#include "value/pobject.h"

namespace tidewell::testing {

class SyncClient {
public:
    enum class Handshake {
        // "encrypt_channel", TLS, then "connect" (TLS only; plain: "connect").
        TwoStep,
        // "connect" (with "do_ssl" under TLS), then TLS after the answer.
        OneStep,
    };

    explicit SyncClient(int port, const std::string& host = "127.0.0.1") : host_(host), port_(port) {}

    // Opens the connection and admits it. 0, a negative channel code, -100
    // when an answer carries "error" (the answer is in `answer`), -101 when
    // "alive" is 0.
    int Connect(const std::string& session, uint64_t view_id, bool tls = false, Handshake form = Handshake::TwoStep,
                PObject* answer = nullptr);
    // Opens the connection without a handshake.
    int Open();
    void Close() { channel_.Close(); }

    // One request: the envelope for `action`, the caller's members, the
    // header for `command`; `response` keeps its presets. 0 or a negative
    // channel or stream code.
    int Run(uint8_t command, const std::string& action, const PObject& members, PObject& response);

    // Keep-alive notices skipped by the last Run.
    int keepalives() const { return keepalives_; }
    // Seconds a Run waits for traffic before it fails.
    void SetTimeout(uint32_t seconds) { timeout_ = seconds; }
    Channel& channel() { return channel_; }

private:
    std::string host_;
    int port_;
    Channel channel_;
    int keepalives_ = 0;
    uint32_t timeout_ = 90;
};

// The members every request of a session carries.
PObject SessionMembers(const std::string& session, uint64_t view_id);

}  // namespace tidewell::testing
