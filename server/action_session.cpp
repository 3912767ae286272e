// "encrypt_channel" and "connect": admission of a connection.
#include "server/actions.h"
#include "server/server_errors.h"

namespace tw_server {

void HandleEncryptChannel(RequestContext& rc, Answer& answer) {
    if (RejectMalformed(rc, answer)) return;
    if (rc.conn.tls) {
        answer.Error(SPROTO_ERR_ACCESS_DENY, "the channel is already encrypted");
    } else if (!rc.server.tls_available()) {
        answer.Error(SPROTO_ERR_ACCESS_DENY, "this server has no TLS certificate");
    } else {
        answer.start_tls = true;
    }
}

void HandleConnect(RequestContext& rc, Answer& answer) {
    std::string session;
    uint64_t view_id = 0;
    bool do_ssl = false;
    rc.fields.String("session", session, false);
    rc.fields.Integer("view_id", view_id, false);
    rc.fields.Bool("do_ssl", do_ssl, false);
    if (RejectMalformed(rc, answer)) return;
    rc.conn.admitted = false;
    if (rc.server.faults().Take(FaultKind::RefuseConnect, rc.action, nullptr)) {
        answer.refuse = true;
    } else if (AuthorizeView(rc, answer, false) == nullptr) {
        return;
    } else if (do_ssl && rc.conn.tls) {
        answer.Error(SPROTO_ERR_ACCESS_DENY, "the channel is already encrypted");
        return;
    } else if (do_ssl && !rc.server.tls_available()) {
        answer.Error(SPROTO_ERR_ACCESS_DENY, "this server has no TLS certificate");
        return;
    } else {
        rc.conn.admitted = true;
        answer.start_tls = do_ssl;
    }
    answer.body["server"]["package_version"]["build"] = kServerBuild;
}

}  // namespace tw_server
