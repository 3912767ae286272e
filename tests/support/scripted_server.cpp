#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "net/channel.h"
#include "protocol/proto_common.h"
#include "stream/pstream.h"

namespace tidewell::testing {

ReplyStep Answer(const PObject& value, int delay_ms) {
    ReplyStep step;
    step.kind = ReplyStep::kValue;
    step.value = value;
    step.delay_ms = delay_ms;
    return step;
}

ReplyStep KeepAliveNotice(int delay_ms) {
    PObject notice;
    notice["type"] = "keep_alive";
    return Answer(notice, delay_ms);
}

ReplyStep RawBytes(const std::string& bytes, int delay_ms) {
    ReplyStep step;
    step.kind = ReplyStep::kBytes;
    step.bytes = bytes;
    step.delay_ms = delay_ms;
    return step;
}

ReplyStep CloseConnection(int delay_ms) {
    ReplyStep step;
    step.kind = ReplyStep::kClose;
    step.delay_ms = delay_ms;
    return step;
}

namespace {

Reply DefaultReply(const std::string& action) {
    PObject answer;
    if (action == "encrypt_channel") {
        answer.asMap();
    } else if (action == "connect") {
        answer["alive"] = uint64_t{300};
        answer["server"]["package_version"]["build"] = uint64_t{4242};
    } else {
        answer["alive"] = uint64_t{300};
    }
    return {Answer(answer)};
}

// Whether the client will switch to TLS after this answer: it does so only
// after an answer that admits it.
bool AdmitsTls(const std::string& action, const PObject& request, const PObject& last_answer) {
    if (!last_answer.isMap() || last_answer.hasMember("error")) return false;
    if (action == "encrypt_channel") return true;
    return action == "connect" && request["do_ssl"].asBool() && last_answer["alive"].asInteger() > 0;
}

}  // namespace

ScriptedServer::ScriptedServer() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listen_fd_, 16) != 0) {
        perror("scripted server: listen");
        abort();
    }
    socklen_t len = sizeof addr;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread(&ScriptedServer::AcceptLoop, this);
}

ScriptedServer::~ScriptedServer() {
    Stop();
}

void ScriptedServer::UseCertificate(const std::string& cert_file, const std::string& key_file) {
    Channel::SetCERTPath(cert_file);
    Channel::SetPriKeyPath(key_file);
}

void ScriptedServer::Script(const std::string& action, Reply reply) {
    std::lock_guard<std::mutex> lk(mu_);
    script_[action].push_back(std::move(reply));
}

void ScriptedServer::Respond(const std::string& action, Responder responder) {
    std::lock_guard<std::mutex> lk(mu_);
    responders_[action] = std::move(responder);
}

std::vector<ReceivedRequest> ScriptedServer::requests() const {
    std::lock_guard<std::mutex> lk(mu_);
    return requests_;
}

std::vector<std::string> ScriptedServer::actions() const {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<std::string> out;
    for (const ReceivedRequest& r : requests_) out.push_back(r.request["action"].asString().str());
    return out;
}

size_t ScriptedServer::CountAction(const std::string& action) const {
    size_t n = 0;
    for (const std::string& a : actions()) n += a == action;
    return n;
}

std::vector<std::string> ScriptedServer::problems() const {
    std::lock_guard<std::mutex> lk(mu_);
    return problems_;
}

void ScriptedServer::Problem(const std::string& what) {
    std::lock_guard<std::mutex> lk(mu_);
    problems_.push_back(what);
}

void ScriptedServer::Stop() {
    if (stopping_.exchange(true)) {
        if (acceptor_.joinable()) acceptor_.join();
        return;
    }
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lk(mu_);
        // Every blocked read or write of a connection ends at once.
        for (int fd : open_fds_) shutdown(fd, SHUT_RDWR);
        workers.swap(workers_);
    }
    stop_cv_.notify_all();
    for (std::thread& t : workers) t.join();
    close(listen_fd_);
}

void ScriptedServer::AcceptLoop() {
    while (!stopping_.load()) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 100) != 1) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int number = ++connections_;
        std::lock_guard<std::mutex> lk(mu_);
        open_fds_.insert(fd);
        workers_.emplace_back(&ScriptedServer::Serve, this, fd, number);
    }
}

Reply ScriptedServer::NextReply(const std::string& action, const PObject& request) {
    Responder responder;
    {
        std::lock_guard<std::mutex> lk(mu_);
        auto it = script_.find(action);
        if (it != script_.end() && !it->second.empty()) {
            Reply reply = std::move(it->second.front());
            it->second.pop_front();
            return reply;
        }
        auto r = responders_.find(action);
        if (r == responders_.end()) return DefaultReply(action);
        responder = r->second;
    }
    return responder(request);
}

bool ScriptedServer::Pause(int ms) {
    std::unique_lock<std::mutex> lk(mu_);
    return !stop_cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
}

void ScriptedServer::Serve(int fd, int number) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    Channel ch;
    bool tls = false;
    // The channel owns the socket from here on; it is only shut down by Stop
    // while it is registered, and unregistered before the channel closes it.
    if (ch.Open(fd, true) != 0) {
        std::lock_guard<std::mutex> lk(mu_);
        open_fds_.erase(fd);
        close(fd);
        return;
    }
    ch.SetTimeout(0);  // an idle pooled channel may wait as long as the test runs
    PStream stream;
    for (;;) {
        uint32_t magic = 0;
        uint8_t version = 0, cmd = 0;
        uint16_t length = 0;
        if (ch.ReadInt32(&magic) < 0) break;  // the client closed
        if (ch.ReadByte(&version) < 0 || ch.ReadByte(&cmd) < 0 || ch.ReadInt16(&length) < 0) {
            Problem("truncated header");
            break;
        }
        if (magic != PROTO_MAGIC || version != PROTO_VERSION || length != 0) {
            char text[96];
            snprintf(text, sizeof text, "bad header: magic %08x version %u length %u", magic, version, length);
            Problem(text);
            break;
        }
        PObject request;
        if (stream.Recv(ch, request) < 0) {
            Problem("unreadable request body");
            break;
        }
        if (!request.isMap()) {
            Problem("request is not a map");
            break;
        }
        const std::string action = request["action"].asString().str();
        {
            std::lock_guard<std::mutex> lk(mu_);
            requests_.push_back({number, cmd, request, tls});
        }

        bool open = true;
        PObject last_answer;
        for (const ReplyStep& step : NextReply(action, request)) {
            if (step.delay_ms > 0 && !Pause(step.delay_ms)) {
                open = false;
                break;
            }
            if (step.kind == ReplyStep::kClose) {
                open = false;
                break;
            }
            if (step.kind == ReplyStep::kBytes) {
                if (ch.Write(step.bytes.data(), step.bytes.size()) < 0 || ch.FlushWrite(0) < 0) open = false;
            } else {
                last_answer = step.value;
                if (stream.Send(ch, step.value) < 0) open = false;
            }
            if (!open) break;
        }
        if (!open) break;
        if (!tls && AdmitsTls(action, request, last_answer)) {
            if (ch.ConvertToSSLChannel(true) != 0) {
                Problem("TLS handshake failed after " + action);
                break;
            }
            tls = true;
        }
    }
    {
        std::lock_guard<std::mutex> lk(mu_);
        open_fds_.erase(fd);
    }
    ch.Close();
}

}  // namespace tidewell::testing
