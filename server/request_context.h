// One request as the action handlers see it, and the answer they build.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "delta/md4.h"
#include "server/request_fields.h"
#include "server/server_context.h"
#include "stream/pstream.h"
#include "value/pobject.h"

namespace tw_server {

// Where the request's file body went while it arrived (file.data).
struct UploadReceipt {
    enum Where { None, Dropped, Memory, Temp, Part } where = None;
    // Temp: a file in incoming/; Part: the resume token's upload file.
    std::string path;
    // Memory: the bytes (small bodies of "upload").
    std::string bytes;
    // Part: the token, its view, and how many bytes it held before.
    View* view = nullptr;
    std::string token;
    uint64_t held_before = 0;
    // Bytes this request stored.
    uint64_t stored = 0;
    // Fed with every stored byte; `hashed` when it thereby covers the
    // whole file (the file started empty).
    std::unique_ptr<Md4> md4;
    bool hashed = false;
    // A binary where none belongs.
    bool unexpected = false;
    // Part: the handler has dealt with the part's bytes. Otherwise an error
    // answer takes back what this request added (a refused request's bytes
    // do not belong to the token), and a broken connection keeps them.
    bool settled = false;
};

// What the connection knows of its peer.
struct ConnectionState {
    std::string peer;
    bool admitted = false;  // a "connect" was accepted
    bool tls = false;
};

struct RequestContext {
    ServerContext& server;
    ConnectionState& conn;
    uint8_t command;
    std::string action;
    const PObject& request;
    RequestFields& fields;
    UploadReceipt& receipt;
    int store_error;  // errno of a failure to store the body, 0 when none
};

struct Answer {
    PObject body;
    // "alive" 0 instead of the promise (a refused "connect").
    bool refuse = false;
    // Switch the channel to TLS once the answer has left.
    bool start_tls = false;
    // The server itself failed: log `reason`, close without an answer.
    bool broken = false;
    std::string reason;
    // Run once the answer has left (true) or failed to (false).
    std::vector<std::function<void(bool)>> finish;
    // When set, writes the answer instead of `body` (for answers too large
    // to be worth building as a value first), with the given "alive".
    std::function<int(Channel&, PStream&, uint64_t alive)> write;

    void Error(uint32_t code, const std::string& why) {
        body.clear();
        write = nullptr;
        body["error"]["code"] = uint64_t{code};
        if (!why.empty()) body["error"]["reason"] = ustring(why);
        reason = why;
    }
    // Applies a failed Status; returns whether there was one.
    bool Failed(const Status& status) {
        if (status.broken) {
            broken = true;
            reason = status.reason;
            return true;
        }
        if (status.code != 0) {
            Error(status.code, status.reason);
            return true;
        }
        return false;
    }
    bool is_error() const { return !write && body.hasMember("error"); }
};

}  // namespace tw_server
