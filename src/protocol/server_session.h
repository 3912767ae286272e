// Talking to the sync server on pooled channels: admitting a channel (the
// handshake), running one request and its answer (the request runner), and
// the sequence around both that every request of every task follows.
//
// The tasks that talk to the server (the event puller, the progress syncer
// and the workers) differ only in details, which a SessionForm carries:
// the handshake form, the server error table, the log component and
// texts, the abort flag and stop check, and the worker's own handling of
// stream errors and of upload answers. Each task builds its form once
// (SyncerSessionForm, ProgressSyncerSessionForm, WorkerSessionForm) and
// wraps these functions in its RequestChannel and RunProtocol:
//
//     // In the event puller; abort_flag is the task's own int.
//     SessionForm form = SyncerSessionForm(&abort_flag);
//     form.stop = [this] { return GetState() == STOP; };
//     ...
//     SessionStage failed;
//     int ret = RunPooledRequest(context.connection, entry.view_id, SCMD_EVT_PULL,
//                                request, response, form, &failed);
//     if (ret < 0 && failed == SessionStage::kHandshake) { log "fail to establish ..." }
//     if (ret < 0 && failed == SessionStage::kRequest) { log "fail to pull events. %d." }
//     if (ret == 0) ret = ResponseErrorCode(response, form.errors, form.component);
//
//     // In a worker; trans_stream and streamErr2DaemonErr are the worker's.
//     SessionForm form = WorkerSessionForm(id, &abort_flag, &trans_stream,
//                                          [this](int e) { return streamErr2DaemonErr(e); });
//     trans_stream.SetDefaultRecvLocation(working_directory);
//     int ret = RunPooledRequest(connection, view_id, SCMD_EVT_RECV_4, request, response, form);
//
//     // A test or a tool, without a task: a form with no abort flag.
//     SessionForm form = SyncerSessionForm(nullptr);
//     Connection connection(info, nullptr, nullptr);
//     int ret = RunPooledRequest(connection, 1, SCMD_EVT_PULL, request, response, form);
//
// Results: 0, or a negative result code. A 0 from RunProtocol or
// RunPooledRequest only says that an answer arrived: the caller looks for
// "error" in it, through ResponseErrorCode (server_error.h), which never
// turns a refusal into 0.
//
// Thread safety: the functions keep no state; a form is read, never
// written, so one form may serve one task's requests one after another. A
// channel is used by the one thread that borrowed it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/channel.h"
#include "net/connection.h"
#include "net/connection_info.h"
#include "protocol/server_error.h"
#include "stream/pstream.h"
#include "value/pobject.h"

enum class HandshakeForm {
    // "connect" with the session token; with SSL, first "encrypt_channel"
    // and the TLS handshake, so the token travels encrypted.
    kTwoStep,
    // One "connect", with "do_ssl" when the connection uses SSL; TLS starts
    // after the answer, so the token travels in clear. Kept for servers and
    // tests that must serve or check this form; no task uses it.
    kOneStep,
};

// Seconds without any byte moving before an exchange gives up.
struct SessionLimits {
    uint32_t answer_seconds = 90;  // while the server works on a request
    uint32_t send_seconds = 60;    // otherwise; the channel is left at this
};

struct SessionForm {
    HandshakeForm handshake = HandshakeForm::kTwoStep;
    ServerErrorTable errors = ServerErrorTable::kSyncer;
    const char* component = "syncer_debug";
    std::string name = "Syncer";          // leads the log texts
    std::string connect_name = "Syncer";  // leads "Connect to server (...)"
    bool log_server_build = true;
    // The worker's runner: its log texts; the abort flag is taken off while
    // an "upload" or "resume_upload" is answered (a sent upload is always
    // answered) and after every exchange.
    bool worker_runner = false;
    // The task's abort flag (may be null): the borrowed channel watches it.
    int* abort_flag = nullptr;
    // Asked while waiting for a free channel; true gives up with ERR_INT.
    std::function<bool()> stop;
    // Turns a stream failure (a PStream code) into the result; none: ERR_IO.
    // A result that is not negative counts as ERR_IO.
    std::function<int(int)> stream_error;
    // The stream requests and answers pass through (its status shows
    // transfer progress); null: a stream of the call's own.
    PStream* stream = nullptr;
    SessionLimits limits;
};

// The forms of the three tasks. The worker's form admits with kTwoStep:
// without SSL that is the same single "connect" as its one-step form; with
// SSL it keeps the session token off the wire in clear.
SessionForm SyncerSessionForm(int* abort_flag);
SessionForm ProgressSyncerSessionForm(int* abort_flag);
SessionForm WorkerSessionForm(int worker_id, int* abort_flag, PStream* stream,
                              std::function<int(int)> stream_error);

// Closes `ch`, opens it to the server of `info` (through the channel's own
// route) and has it admitted for `view_id`. 0, the open result, the
// exchange's failure, ERR_IO for a refused "encrypt_channel", a failed SSL
// conversion or an "alive" of 0 (or none), or the server's refusal of
// "connect" (never 0, see ResponseErrorCode). When `answer` is given it
// receives the server's answer to "connect" (left empty when none arrived).
int RequestChannel(Channel& ch, const ConnectionInfo& info, uint64_t view_id, const SessionForm& form,
                   PObject* answer = nullptr);

// Sends the header for `cmd` and `request`, then reads values until one that
// is not a keep-alive notice. Each value is read into a fresh copy of what
// `response` held on entry (presets such as where a received file body
// goes), so nothing of a notice survives into the answer. 0 when an answer
// arrived; ERR_PROTO when it is not a map; the form's stream failure code
// otherwise. The channel's time limit is the answer limit while waiting and
// the send limit afterwards, whatever the outcome.
int RunProtocol(Channel& ch, uint8_t cmd, const PObject& request, PObject& response, const SessionForm& form);

// Where RunPooledRequest failed.
enum class SessionStage {
    kNone,        // it did not fail
    kChannel,     // the stop check ended the wait for a channel
    kHandshake,   // the channel could not be admitted
    kRequest,     // the exchange failed
};

// One request on a channel of `connection`'s pool: borrow a slot (its
// channel watches the form's abort flag), admit it first when it is
// expired, run the request, then give the slot back: on success kept for the
// answer's "alive" seconds (0 closes it), on any failure closed and expired.
// The slot goes back on every path. 0 or a negative result code; `failed`
// (optional) tells the stage.
int RunPooledRequest(Connection& connection, uint64_t view_id, uint8_t cmd, const PObject& request,
                     PObject& response, const SessionForm& form, SessionStage* failed = nullptr);

// The answer's "alive" in seconds, capped to what a slot can hold.
uint32_t AliveSeconds(const PObject& response);
