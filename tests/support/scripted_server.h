// A small sync server for tests, driven by a script.
//
// It listens on 127.0.0.1 (a kernel-chosen port) and serves each connection
// on a thread of its own: it checks the 8-byte packet header (magic,
// version 70, payload length 0), reads one value, records it and answers
// from the script: for each request the next reply queued for its action,
// or a default reply when none is queued. A reply is a list of steps, each
// after its own delay: send a value, send raw bytes, or close the
// connection. After a successful answer to "encrypt_channel", or to a
// "connect" that asked for "do_ssl", the connection switches to TLS with
// the certificate given to UseCertificate.
//
// Default replies: "encrypt_channel" {}; "connect" {"alive": 300, "server":
// {"package_version": {"build": 4242}}}; anything else {"alive": 300}. A
// responder set for an action answers its requests when nothing is queued
// for it (tests whose answers depend on the request, such as a pull's
// session and sync id).
//
// Anything the client gets wrong (a bad header, a body that is not a map)
// is recorded in problems() and closes that connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "value/pobject.h"

namespace tidewell::testing {

struct ReplyStep {
    enum Kind { kValue, kBytes, kClose };
    Kind kind = kValue;
    int delay_ms = 0;
    PObject value;
    std::string bytes;
};

ReplyStep Answer(const PObject& value, int delay_ms = 0);
ReplyStep KeepAliveNotice(int delay_ms = 0);
ReplyStep RawBytes(const std::string& bytes, int delay_ms = 0);
ReplyStep CloseConnection(int delay_ms = 0);
using Reply = std::vector<ReplyStep>;
// Builds the reply to one request (as received); called on the serving
// thread, without the server's lock.
using Responder = std::function<Reply(const PObject& request)>;

struct ReceivedRequest {
    int connection = 0;  // 1 for the first connection accepted, and so on
    uint8_t cmd = 0;
    PObject request;     // as received: the envelope's keys lose their "_"
    bool under_tls = false;
};

class ScriptedServer {
public:
    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }

    // PEM certificate chain and key for the TLS switch. They are process-wide
    // settings of the channel's accepting side: set them before any server
    // switches.
    static void UseCertificate(const std::string& cert_file, const std::string& key_file);

    // The reply to the next request whose action is `action`; replies queue
    // up in the order given.
    void Script(const std::string& action, Reply reply);
    // The reply to every request of `action` that finds nothing queued.
    void Respond(const std::string& action, Responder responder);

    int connections() const { return connections_.load(); }
    std::vector<ReceivedRequest> requests() const;
    // The actions received, in order.
    std::vector<std::string> actions() const;
    size_t CountAction(const std::string& action) const;
    std::vector<std::string> problems() const;

    // Closes the listener and every connection and waits for the threads.
    void Stop();

private:
    void AcceptLoop();
    void Serve(int fd, int number);
    Reply NextReply(const std::string& action, const PObject& request);
    // Sleeps `ms` unless the server stops first; false when it stops.
    bool Pause(int ms);
    void Problem(const std::string& what);

    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread acceptor_;

    mutable std::mutex mu_;  // guards everything below
    std::condition_variable stop_cv_;
    std::map<std::string, std::deque<Reply>> script_;
    std::map<std::string, Responder> responders_;
    std::vector<ReceivedRequest> requests_;
    std::vector<std::string> problems_;
    std::set<int> open_fds_;
    std::vector<std::thread> workers_;
};

}  // namespace tidewell::testing
