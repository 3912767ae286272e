#include "support/sync_client.h"

#include "protocol/proto_common.h"

namespace tidewell::testing {

PObject SessionMembers(const std::string& session, uint64_t view_id) {
    PObject m;
    m["session"] = ustring(session);
    m["view_id"] = view_id;
    return m;
}

SyncClient::SyncClient(int port, const std::string& host)
    : host_(host), port_(port), form_(SyncerSessionForm(nullptr)) {}

ConnectionInfo SyncClient::Info(const std::string& host, int port, const std::string& session, bool tls) {
    ConnectionInfo info;
    info.server_ip = ustring(host);
    info.server_name = "localhost";
    info.server_port = port;
    info.session = ustring(session);
    info.use_ssl = tls;
    info.ssl_allow_untrust = true;  // the test servers' certificates sign themselves
    return info;
}

int SyncClient::Open() {
    channel_.Close();
    return channel_.Open(host_.c_str(), port_);
}

int SyncClient::Connect(const std::string& session, uint64_t view_id, bool tls, Handshake form, PObject* answer) {
    SessionForm handshake = form_;
    handshake.handshake = form == Handshake::TwoStep ? HandshakeForm::kTwoStep : HandshakeForm::kOneStep;
    return RequestChannel(channel_, Info(host_, port_, session, tls), view_id, handshake, answer);
}

int SyncClient::Run(uint8_t command, const std::string& action, const PObject& members, PObject& response) {
    PObject request;
    InitRequest(request, action);
    for (const auto& [key, value] : members.asMap()) request[key] = value;
    return RunProtocol(channel_, command, request, response, form_);
}

}  // namespace tidewell::testing
