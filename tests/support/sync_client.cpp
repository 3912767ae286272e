#include "support/sync_client.h"

#include "protocol/proto_common.h"
#include "stream/pstream.h"

namespace tidewell::testing {

PObject SessionMembers(const std::string& session, uint64_t view_id) {
    PObject m;
    m["session"] = ustring(session);
    m["view_id"] = view_id;
    return m;
}

int SyncClient::Open() {
    channel_.Close();
    channel_.SetAllowUntrust(true);
    return channel_.Open(host_.c_str(), port_);
}

int SyncClient::Run(uint8_t command, const std::string& action, const PObject& members, PObject& response) {
    PObject request;
    InitRequest(request, action);
    for (const auto& [key, value] : members.asMap()) request[key] = value;
    keepalives_ = 0;
    int ret = ProtoWriteHeader(channel_, 0, command);
    PStream stream;
    if (ret == 0) ret = stream.Send(channel_, request);
    if (ret != 0) return ret;
    channel_.SetTimeout(timeout_);
    const PObject initial = response;
    for (;;) {
        PObject message = initial;
        ret = stream.Recv(channel_, message);
        if (ret != 0) break;
        const PObject& read = message;  // the const form: no member is added by looking
        if (read["type"].asString() == ustring("keep_alive")) {
            ++keepalives_;
            continue;
        }
        response = std::move(message);
        break;
    }
    channel_.SetTimeout(Channel::kDefaultChannelTimeout);
    return ret;
}

int SyncClient::Connect(const std::string& session, uint64_t view_id, bool tls, Handshake form, PObject* answer) {
    int ret = Open();
    if (ret != 0) return ret;
    PObject response;
    if (tls && form == Handshake::TwoStep) {
        ret = Run(SCMD_REQUEST_SSL_2, "encrypt_channel", PObject(), response);
        if (ret != 0) return ret;
        if (answer) *answer = response;
        if (response.hasMember("error")) return -100;
        ret = channel_.ConvertToSSLChannel(false);
        if (ret != 0) return ret;
    }
    PObject members = SessionMembers(session, view_id);
    if (tls && form == Handshake::OneStep) members["do_ssl"] = true;
    response.clear();
    ret = Run(SCMD_REQUEST_CONNECT, "connect", members, response);
    if (answer) *answer = response;
    if (ret != 0) return ret;
    if (response.hasMember("error")) return -100;
    if (response["alive"].asInteger() == 0) return -101;
    if (tls && form == Handshake::OneStep) ret = channel_.ConvertToSSLChannel(false);
    return ret;
}

}  // namespace tidewell::testing
