#include "server/connection.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "base/logger.h"
#include "protocol/proto_common.h"
#include "server/actions.h"
#include "server/request_reader.h"
#include "server/server_errors.h"

namespace tw_server {

namespace {

const char* const kComponent = "server";

// Requests are small maps; only file bodies are large, and they stream.
RequestLimits Limits() {
    RequestLimits limits;
    limits.max_depth = 16;
    limits.max_values = 10000;
    limits.max_text_bytes = 1 << 20;
    return limits;
}

}  // namespace

Connection::Connection(ServerContext& server, int fd, std::string peer)
    : server_(server), ch_(Channel::kDefaultCapacity), control_fd_(dup(fd)) {
    state_.peer = std::move(peer);
    if (ch_.Open(fd, true) != 0) close(fd);
}

Connection::~Connection() {
    ch_.Close();
    if (control_fd_ >= 0) close(control_fd_);
}

void Connection::Shutdown() {
    if (control_fd_ >= 0) shutdown(control_fd_, SHUT_RDWR);
}

void Connection::Run() {
    TW_DEBUG(kComponent, "%s: connected\n", state_.peer.c_str());
    while (ServeOne()) {
    }
    ch_.Close();
    TW_DEBUG(kComponent, "%s: closed\n", state_.peer.c_str());
    idle_.store(true);
    finished_.store(true);
}

void Connection::Linger() {
    ch_.FlushWrite(0);
    int fd = control_fd_;
    if (fd < 0) return;
    shutdown(fd, SHUT_WR);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    char buf[16384];
    size_t drained = 0;
    while (std::chrono::steady_clock::now() < deadline && drained < (1u << 20)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) < 0 && errno != EINTR) break;
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            break;
        }
        drained += static_cast<size_t>(n);
    }
}

void Connection::AnswerAndClose(uint32_t code, const std::string& reason) {
    Answer answer;
    answer.Error(code, reason);
    answer.body["alive"] = uint64_t{0};
    stream_.Send(ch_, answer.body);
    Linger();
}

void Connection::FinishReceipt(UploadReceipt& receipt, bool broken, bool error_answer) {
    if (receipt.where == UploadReceipt::Temp && !receipt.path.empty()) unlink(receipt.path.c_str());
    if (receipt.where == UploadReceipt::Part && receipt.view != nullptr) {
        if (broken) {
            // Kept for the retry; flushed so that a crash does not leave a
            // part longer than its bytes.
            receipt.view->store().Flush(receipt.path);
        } else if (error_answer && !receipt.settled) {
            truncate(receipt.path.c_str(), static_cast<off_t>(receipt.held_before));
        }
        receipt.view->Unbusy(receipt.token);
    }
    receipt = UploadReceipt{};
}

void Connection::Stall(uint32_t seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds == 0 ? 86400 : seconds);
    while (std::chrono::steady_clock::now() < deadline && !server_.stopping()) {
        pollfd p{control_fd_, POLLRDHUP, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) return;
        server_.SleepUntil(std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(200)));
    }
}

bool Connection::SendAnswer(Answer& answer) {
    const uint64_t alive = answer.refuse ? 0u : kAliveSeconds;
    int ret;
    if (answer.write) {
        ret = answer.write(ch_, stream_, alive);
        if (ret == 0 && ch_.FlushWrite(0) != 0) ret = -1;
    } else {
        answer.body["alive"] = alive;
        ret = stream_.Send(ch_, answer.body);
    }
    ch_.SetWriteBudget(-1);
    for (auto& finish : answer.finish) finish(ret == 0);
    answer.finish.clear();
    return ret == 0;
}

bool Connection::ServeOne() {
    idle_.store(true);
    if (server_.stopping()) return false;
    ch_.SetTimeout(kIdleCloseSeconds);
    ch_.SetReadBudget(-1);
    ch_.SetWriteBudget(-1);
    const uint64_t start = ch_.bytes_read();

    uint32_t magic = 0;
    if (ch_.ReadInt32(&magic) != 0) return false;  // the peer left, or stayed idle too long
    idle_.store(false);
    ch_.SetTimeout(kTransferSeconds);
    uint8_t version = 0, command = 0;
    uint16_t length = 0;
    if (magic != PROTO_MAGIC) {
        TW_WARNING(kComponent, "%s: not a request (magic 0x%08x); closing\n", state_.peer.c_str(), magic);
        return false;
    }
    if (ch_.ReadByte(&version) != 0 || ch_.ReadByte(&command) != 0 || ch_.ReadInt16(&length) != 0) return false;
    if (version != PROTO_VERSION) {
        TW_WARNING(kComponent, "%s: protocol version %u, this server speaks %d; closing\n", state_.peer.c_str(),
                   version, PROTO_VERSION);
        AnswerAndClose(version < PROTO_VERSION ? SPROTO_ERR_VERSION_TOO_LOW : SPROTO_ERR_VERSION_TOO_HIGH,
                       "this server speaks protocol version 70");
        return false;
    }
    if (length != 0) {
        TW_WARNING(kComponent, "%s: payload length %u in the header; closing\n", state_.peer.c_str(), length);
        AnswerAndClose(kMalformedRequest, "the header's payload length must be 0");
        return false;
    }
    server_.faults().Reload();

    // The request, with its file body placed as it arrives.
    UploadReceipt receipt;
    std::string action;
    auto placer = [&](const std::vector<std::string>& keys, uint64_t length, const PObject& partial) {
        BinaryTarget target;
        bool file_data = keys.size() == 2 && keys[0] == "file" && keys[1] == "data";
        bool attribute = keys.size() == 2 && keys[0] == "mac_attribute" && keys[1] == "data";
        std::string act = partial["action"].asString().str();
        if (!file_data || !state_.admitted || (act != "upload" && act != "resume_upload")) {
            // Read and dropped: attribute data is not kept, and nothing is
            // stored for a peer that has not been admitted.
            if (!file_data && !attribute) receipt.unexpected = true;
            if (receipt.where == UploadReceipt::None) receipt.where = UploadReceipt::Dropped;
            return target;
        }
        if (act == "resume_upload" && partial["resume_token"].isString()) {
            std::string token = partial["resume_token"].asString().str();
            uint64_t view_id = 0;
            View* view = TokenView(token, view_id) ? server_.FindView(view_id) : nullptr;
            if (view != nullptr && view->TryBusy(token)) {
                TokenRecord record;
                bool found = false;
                if (view->GetToken(token, record, found).ok() && found && !record.committed &&
                    (record.kind == TokenKind::Unbound || record.kind == TokenKind::Upload)) {
                    receipt.where = UploadReceipt::Part;
                    receipt.view = view;
                    receipt.token = token;
                    receipt.path = view->store().UploadPath(token);
                    if (!FileSize(receipt.path, receipt.held_before)) receipt.held_before = 0;
                    receipt.md4 = std::make_unique<Md4>();
                    receipt.hashed = receipt.held_before == 0;
                    target.path = receipt.path;
                    target.offset = receipt.held_before;
                    target.hash = receipt.md4.get();
                    return target;
                }
                view->Unbusy(token);
            }
            // Unknown, spent or busy: the handler answers that.
            receipt.where = UploadReceipt::Dropped;
            return target;
        }
        receipt.md4 = std::make_unique<Md4>();
        receipt.hashed = true;
        target.hash = receipt.md4.get();
        if (act == "upload" && length <= kInlineContentLimit) {
            receipt.where = UploadReceipt::Memory;
            target.memory = &receipt.bytes;
            return target;
        }
        receipt.where = UploadReceipt::Temp;
        receipt.path = server_.IncomingPath();
        target.path = receipt.path;
        return target;
    };
    auto hook = [&](const PObject& partial) {
        if (!action.empty() || !partial["action"].isString()) return;
        action = partial["action"].asString().str();
        if (auto rule = server_.faults().Take(FaultKind::CutRequest, action, nullptr)) {
            uint64_t so_far = ch_.bytes_read() - start;
            ch_.SetReadBudget(rule->bytes > so_far ? static_cast<int64_t>(rule->bytes - so_far) : 0);
        }
    };

    RequestReader reader(ch_, Limits());
    PObject request;
    ReadOutcome outcome = reader.Read(request, placer, hook);
    ch_.SetReadBudget(-1);
    if (receipt.where == UploadReceipt::Temp || receipt.where == UploadReceipt::Part ||
        receipt.where == UploadReceipt::Memory) {
        receipt.stored = request["file"]["data"].asBinary().length;
    }
    if (outcome == ReadOutcome::Broken) {
        FinishReceipt(receipt, true, false);  // before the line: the line says the request is over
        TW_INFO(kComponent, "%s: connection lost in a %s request (%s)\n", state_.peer.c_str(),
                action.empty() ? "new" : action.c_str(), GetErrorString(reader.channel_error()));
        return false;
    }
    if (outcome == ReadOutcome::Malformed) {
        TW_WARNING(kComponent, "%s: malformed request: %s; closing\n", state_.peer.c_str(), reader.problem().c_str());
        FinishReceipt(receipt, false, true);
        AnswerAndClose(kMalformedRequest, reader.problem());
        return false;
    }

    Answer answer;
    const PObject& action_member = request["action"];
    action = action_member.asString().str();
    const ActionEntry* served = action_member.isString() ? FindAction(action) : nullptr;
    RequestFields fields(request, reader.nul_members());
    RequestContext rc{server_, state_, command, action, request, fields, receipt, reader.store_error()};
    const PObject& path_member = request["path"];
    std::string path = path_member.asString().str();
    const std::string* fault_path = path_member.isString() ? &path : nullptr;

    if (served == nullptr) {
        answer.Error(kMalformedRequest,
                     action_member.isString() ? "unknown action \"" + action + "\"" : "missing member \"action\"");
    } else if (command != served->command && (served->other_command == 0 || command != served->other_command)) {
        answer.Error(kMalformedRequest, "\"" + action + "\" does not come with command " + std::to_string(command) +
                                            " (" + ProtoCmd2String(command) + ")");
    } else if (served->needs_admission && !state_.admitted) {
        answer.Error(SPROTO_ERR_SESSION_MISS, "the connection has not been admitted by \"connect\"");
    } else if (auto stall = server_.faults().Take(FaultKind::Stall, action, fault_path)) {
        FinishReceipt(receipt, false, true);
        uint64_t id = stall->silent ? 0 : server_.keepalive().Register(ch_);
        Stall(stall->seconds);
        if (id != 0) server_.keepalive().Unregister(id);
        TW_INFO(kComponent, "%s: %s stalled without an answer; closing\n", state_.peer.c_str(), action.c_str());
        return false;
    } else if (auto error = server_.faults().Take(FaultKind::Error, action, fault_path)) {
        answer.Error(error->code, "injected");
    } else {
        uint64_t id = server_.keepalive().Register(ch_);
        served->handler(rc, answer);
        if (auto delay = server_.faults().Take(FaultKind::Delay, action, fault_path)) {
            server_.SleepUntil(std::chrono::steady_clock::now() + std::chrono::seconds(delay->seconds));
        }
        uint32_t notices = 0;
        bool failed = false;
        server_.keepalive().Unregister(id, &notices, &failed);
        if (failed) {
            TW_INFO(kComponent, "%s: connection lost while working on %s\n", state_.peer.c_str(), action.c_str());
            answer.broken = true;
        }
    }

    if (answer.broken) {
        if (!answer.reason.empty()) {
            TW_ERROR(kComponent, "%s: %s %s failed: %s; closing\n", state_.peer.c_str(), action.c_str(), path.c_str(),
                     answer.reason.c_str());
        }
        FinishReceipt(receipt, true, false);
        for (auto& finish : answer.finish) finish(false);
        return false;
    }
    FinishReceipt(receipt, false, answer.is_error());
    if (answer.is_error()) {
        TW_INFO(kComponent, "%s: %s %s: error %llu (%s)\n", state_.peer.c_str(), action.c_str(), path.c_str(),
                static_cast<unsigned long long>(answer.body["error"]["code"].asInteger()), answer.reason.c_str());
    } else {
        TW_DEBUG(kComponent, "%s: %s %s: ok\n", state_.peer.c_str(), action.c_str(), path.c_str());
    }
    if (auto cut = server_.faults().Take(FaultKind::CutAnswer, action, fault_path)) {
        ch_.SetWriteBudget(static_cast<int64_t>(cut->bytes));
    }
    if (!SendAnswer(answer)) {
        TW_INFO(kComponent, "%s: connection lost while answering %s\n", state_.peer.c_str(), action.c_str());
        return false;
    }
    if (answer.start_tls) {
        if (ch_.ConvertToSSLChannel(true) != 0) {
            TW_WARNING(kComponent, "%s: TLS handshake failed; closing\n", state_.peer.c_str());
            return false;
        }
        state_.tls = true;
        TW_DEBUG(kComponent, "%s: channel encrypted\n", state_.peer.c_str());
    }
    return true;
}

}  // namespace tw_server
