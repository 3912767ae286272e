// One client connection: reads requests one after another, hands each to
// its action and sends the answer, with keep-alive notices while the
// action works and the injected faults of the fault file.
//
// A connection is not bound to a view: each request names its session and
// view. It must be admitted by a "connect" before anything but
// "encrypt_channel" is served, and it may be switched to TLS once, after
// "encrypt_channel" or after a "connect" with "do_ssl".
//
// Faults of the framing (a wrong magic), undecodable bodies and channel
// failures end the connection: after an undecodable body the stream is out
// of step, so the error is answered and the connection closed. A request
// that decodes but makes no sense is answered with an error and the
// connection goes on.
//
// Thread safety: Run is the connection's own thread; Shutdown and idle()
// may be called from any other thread.
#pragma once

#include <atomic>
#include <string>

#include "server/metered_channel.h"
#include "server/request_context.h"
#include "stream/pstream.h"

namespace tw_server {

class Connection {
public:
    // Takes over the accepted socket `fd`.
    Connection(ServerContext& server, int fd, std::string peer);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Run();
    // Ends the connection at its next read or write (the socket is shut
    // down; a request in the middle of its work still commits or not, as a
    // whole).
    void Shutdown();
    // Waiting for the next request (or not started).
    bool idle() const { return idle_.load(); }
    bool finished() const { return finished_.load(); }

private:
    // Serves one request; false when the connection is to be closed.
    bool ServeOne();
    bool SendAnswer(Answer& answer);
    // Answers an error and closes gently, so that the answer is not lost
    // to a reset while the peer still sends.
    void AnswerAndClose(uint32_t code, const std::string& reason);
    void Linger();
    void FinishReceipt(UploadReceipt& receipt, bool broken, bool error_answer);
    // Waits as a stall rule says: until `seconds` pass (0: until the peer
    // leaves) or the server stops.
    void Stall(uint32_t seconds);

    ServerContext& server_;
    MeteredChannel ch_;
    // A second descriptor of the socket for Shutdown: its number stays
    // ours until destruction, so another thread never shuts down a reused one.
    int control_fd_;
    PStream stream_;
    ConnectionState state_;
    std::atomic<bool> idle_{true};
    std::atomic<bool> finished_{false};
};

}  // namespace tw_server
