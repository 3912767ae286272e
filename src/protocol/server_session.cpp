#include "protocol/server_session.h"

#include <algorithm>

#include "base/logger.h"
#include "net/error_codes.h"
#include "net/pooled_channel.h"
#include "protocol/proto_common.h"

namespace {

// The text of a value for a debug line; built only when the line is written,
// since requests and answers can be large.
ustring TextIfDebug(const SessionForm& form, const PObject& value) {
    return Logger::Enabled(Logger::L_DEBUG, form.component) ? value.toString() : ustring();
}

int StreamFailure(const SessionForm& form, int stream_code) {
    if (!form.stream_error) return ERR_IO;
    int result = form.stream_error(stream_code);
    return result < 0 ? result : ERR_IO;
}

bool IsKeepAlive(const PObject& value) {
    return value["type"].asString() == "keep_alive";
}

bool IsUploadAction(const ustring& action) {
    return action == "upload" || action == "resume_upload";
}

int ConvertToSsl(Channel& ch, const ConnectionInfo& info, const SessionForm& form) {
    const char* name = form.name.c_str();
    TW_DEBUG(form.component, "%s: convert to SSL channel\n", name);
    ch.SetAllowUntrust(info.ssl_allow_untrust);
    ch.SetSSLHostname(info.server_name);
    int ret = ch.ConvertToSSLChannel(false);
    if (ret != 0) {
        TW_ERROR(form.component, "%s: Convert to SSL channel failed (%d)\n", name, ret);
        return ERR_IO;
    }
    TW_INFO(form.component, "%s: channel is now encrypted using SSL\n", name);
    return 0;
}

// "encrypt_channel", then TLS.
int EncryptChannel(Channel& ch, const ConnectionInfo& info, const SessionForm& form) {
    const char* name = form.name.c_str();
    TW_INFO(form.component, "%s: request ssl channel\n", name);
    PObject request;
    PObject response;
    InitRequest(request, "encrypt_channel");
    int ret = RunProtocol(ch, SCMD_REQUEST_SSL_2, request, response, form);
    if (ret < 0) return ret;
    if (response.hasMember("error")) {
        TW_ERROR(form.component, "%s: request SSL: %s\n", name, response.toString().c_str());
        return ERR_IO;
    }
    return ConvertToSsl(ch, info, form);
}

}  // namespace

SessionForm SyncerSessionForm(int* abort_flag) {
    SessionForm form;
    form.abort_flag = abort_flag;
    return form;
}

SessionForm ProgressSyncerSessionForm(int* abort_flag) {
    SessionForm form;
    form.component = "progress_syncer_debug";
    form.connect_name = "ProgressSyncer";
    form.log_server_build = false;
    form.abort_flag = abort_flag;
    return form;
}

SessionForm WorkerSessionForm(int worker_id, int* abort_flag, PStream* stream,
                              std::function<int(int)> stream_error) {
    SessionForm form;
    form.errors = ServerErrorTable::kWorker;
    form.component = "worker_debug";
    form.name = "Worker (" + std::to_string(worker_id) + ")";
    form.connect_name = form.name;
    form.worker_runner = true;
    form.abort_flag = abort_flag;
    form.stream = stream;
    form.stream_error = std::move(stream_error);
    return form;
}

uint32_t AliveSeconds(const PObject& response) {
    return static_cast<uint32_t>(std::min<uint64_t>(response["alive"].asUInt64(), 0xFFFFFFFFu));
}

int RequestChannel(Channel& ch, const ConnectionInfo& info, uint64_t view_id, const SessionForm& form,
                   PObject* answer) {
    const char* name = form.name.c_str();
    ch.Close();
    TW_DEBUG(form.component, "%s: Connect to server (%s:%d).\n", form.connect_name.c_str(), info.server_ip.c_str(),
             info.server_port);
    int ret = ch.Open(info.server_ip.c_str(), info.server_port);
    if (ret < 0) {
        TW_ERROR(form.component, "%s: failed to connect to server.\n", name);
        return ret;
    }

    const bool ssl_after_connect = info.use_ssl && form.handshake == HandshakeForm::kOneStep;
    if (info.use_ssl && !ssl_after_connect) {
        ret = EncryptChannel(ch, info, form);
        if (ret < 0) return ret;
    }

    PObject request;
    PObject response;
    InitRequest(request, "connect");
    request["session"] = info.session;
    request["view_id"] = view_id;
    if (ssl_after_connect) {
        TW_INFO(form.component, "%s: request ssl channel\n", name);
        request["do_ssl"] = true;
    }
    ret = RunProtocol(ch, SCMD_REQUEST_CONNECT, request, response, form);
    if (ret < 0) return ret;
    if (answer != nullptr) *answer = response;
    if (response.hasMember("error")) {
        TW_ERROR(form.component, "%s: request channel: %s\n", name, response["error"].toString().c_str());
        return ResponseErrorCode(response, form.errors, form.component);
    }
    if (form.log_server_build) {
        unsigned long build = 2402;  // servers too old to say
        if (response.hasMember("server")) build = response["server"]["package_version"]["build"].asUInt64();
        TW_INFO(form.component, "Connect with Tidewell server build %lu\n", build);
    }
    if (AliveSeconds(response) == 0) {
        TW_INFO(form.component, "%s: connection refused by server.\n", name);
        return ERR_IO;
    }
    if (ssl_after_connect) return ConvertToSsl(ch, info, form);
    return 0;
}

int RunProtocol(Channel& ch, uint8_t cmd, const PObject& request, PObject& response, const SessionForm& form) {
    const char* name = form.name.c_str();
    const ustring action = request["_action"].asString();
    PStream own_stream;
    PStream& stream = form.stream != nullptr ? *form.stream : own_stream;
    const PObject initial = response;

    if (form.worker_runner) {
        TW_DEBUG(form.component, "%s: RunProtocol <<< %s\n", name, TextIfDebug(form, request).c_str());
    } else {
        TW_DEBUG(form.component, "%s >>>: %s\n", name, TextIfDebug(form, request).c_str());
    }
    ch.SetFlag(form.abort_flag);

    int result = 0;
    int ret = ProtoWriteHeader(ch, 0, cmd);
    if (ret < 0) {
        if (form.worker_runner) {
            TW_ERROR(form.component, "%s: RunProtocol(%s): failed to send header, stream error code = %d.\n", name,
                     action.c_str(), ret);
        } else {
            TW_ERROR(form.component, "%s: RunProtocol(%s): failed to send header (%d)\n", name, action.c_str(), ret);
        }
        result = ERR_IO;
    }
    if (result == 0) {
        ret = stream.Send(ch, request);
        if (ret < 0) {
            if (form.worker_runner) {
                TW_ERROR(form.component, "%s: failed to send request. stream error code = %d.\n", name, ret);
            } else {
                TW_ERROR(form.component, "%s: RunProtocol(%s): failed to send request (%d)\n", name, action.c_str(),
                         ret);
            }
            result = StreamFailure(form, ret);
        }
    }
    if (result == 0) {
        ch.SetTimeout(form.limits.answer_seconds);
        if (form.worker_runner && IsUploadAction(action)) ch.SetFlag(nullptr);
        for (;;) {
            // A fresh copy each time: receiving merges into what the value
            // holds, and a notice's members must not reach the answer.
            response = initial;
            ret = stream.Recv(ch, response);
            if (ret < 0) {
                if (form.worker_runner) {
                    TW_ERROR(form.component, "%s: failed to recv response. stream error code = %d.\n", name, ret);
                } else {
                    TW_ERROR(form.component, "%s: RunProtocol(%s): failed to recv response (%d)\n", name,
                             action.c_str(), ret);
                }
                result = StreamFailure(form, ret);
                break;
            }
            if (!response.isMap()) {
                TW_ERROR(form.component, "%s: RunProtocol(%s): the answer is not a map: %s\n", name, action.c_str(),
                         response.toString().c_str());
                result = ERR_PROTO;
                break;
            }
            if (!IsKeepAlive(response)) break;
            if (form.worker_runner) TW_DEBUG(form.component, "%s: get keepalive message\n", name);
        }
    }

    ch.SetTimeout(form.limits.send_seconds);
    if (form.worker_runner) {
        ch.SetFlag(nullptr);
        TW_DEBUG(form.component, "%s: RunProtocol >>> %s\n", name, TextIfDebug(form, response).c_str());
    } else {
        TW_DEBUG(form.component, "%s <<<: %s\n", name, TextIfDebug(form, response).c_str());
    }
    return result;
}

int RunPooledRequest(Connection& connection, uint64_t view_id, uint8_t cmd, const PObject& request,
                     PObject& response, const SessionForm& form, SessionStage* failed) {
    SessionStage unused;
    SessionStage& stage = failed != nullptr ? *failed : unused;
    stage = SessionStage::kNone;

    PooledChannel lent(connection, form.abort_flag, form.stop);
    if (!lent.borrowed()) {
        TW_DEBUG(form.component, "%s: stopped while waiting for a channel\n", form.name.c_str());
        stage = SessionStage::kChannel;
        return ERR_INT;
    }
    if (lent.stat().isExpired()) {
        int ret = RequestChannel(lent.channel(), connection.getConnectionInfo(), view_id, form);
        if (ret < 0) {
            stage = SessionStage::kHandshake;
            return ret;
        }
        lent.markAdmitted();
    }
    int ret = RunProtocol(lent.channel(), cmd, request, response, form);
    if (ret < 0) {
        stage = SessionStage::kRequest;
        return ret;
    }
    lent.keep(AliveSeconds(response));
    return 0;
}
