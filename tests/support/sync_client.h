// The client side of the sync protocol for tests of the server, driven
// through the daemon's own server session (protocol/server_session.h): a
// channel admitted by RequestChannel in either handshake form, then
// requests one at a time through RunProtocol, each with the request
// envelope. The pool is left out (RunPooledRequest is used directly where
// a test wants it); so is the error translation, which the tests read
// from the answers themselves.
#pragma once

#include <cstdint>
#include <string>

#include "net/channel.h"
#include "net/connection_info.h"
#include "protocol/server_session.h"
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

    explicit SyncClient(int port, const std::string& host = "127.0.0.1");

    // Opens the connection and has it admitted for `view_id`, as a task of
    // the daemon does. 0, or the daemon's result code (the server's refusal
    // translated, ERR_IO for a refused "encrypt_channel" or an "alive" of 0);
    // `answer` receives the answer to "connect".
    int Connect(const std::string& session, uint64_t view_id, bool tls = false, Handshake form = Handshake::TwoStep,
                PObject* answer = nullptr);
    // Opens the connection without a handshake.
    int Open();
    void Close() { channel_.Close(); }

    // One request: the envelope for `action`, the caller's members, the
    // header for `command`; `response` keeps its presets (a file body's
    // place). 0 when an answer arrived, else the runner's code.
    int Run(uint8_t command, const std::string& action, const PObject& members, PObject& response);

    // Seconds an answer may take without any byte arriving (keep-alive
    // notices count as bytes).
    void SetTimeout(uint32_t seconds) { form_.limits.answer_seconds = seconds; }
    Channel& channel() { return channel_; }

    // The connection settings of a test server on loopback.
    static ConnectionInfo Info(const std::string& host, int port, const std::string& session, bool tls);

private:
    std::string host_;
    int port_;
    Channel channel_;
    SessionForm form_;
};

// The members every request of a session carries.
PObject SessionMembers(const std::string& session, uint64_t view_id);

}  // namespace tidewell::testing
