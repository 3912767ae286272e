#include "protocol/proto_common.h"

#include "base/logger.h"

namespace {

const char* const kComponent = "proto_common_debug";

}  // namespace

int ProtoWriteHeader(Channel& channel, uint16_t payload_length, uint8_t cmd) {
    int ret = channel.WriteInt32(PROTO_MAGIC);
    if (ret < 0) {
        TW_ERROR(kComponent, "WriteHeader: Failed to write magic\n");
        return ret;
    }
    ret = channel.WriteByte(PROTO_VERSION);
    if (ret < 0) {
        TW_ERROR(kComponent, "WriteHeader: Failed to write version (%d)\n", PROTO_VERSION);
        return ret;
    }
    ret = channel.WriteByte(cmd);
    if (ret < 0) {
        TW_ERROR(kComponent, "WriteHeader: Failed to write command (%d)\n", cmd);
        return ret;
    }
    ret = channel.WriteInt16(payload_length);
    if (ret < 0) {
        TW_ERROR(kComponent, "WriteHeader: Failed to write payload length (%d)\n", payload_length);
        return ret;
    }
    TW_DEBUG(kComponent, "WriteHeader: %s, pkt_len = %d\n", ProtoCmd2String(cmd), payload_length);
    return 0;
}

void InitRequest(PObject& request, const std::string& action) {
    request["_action"] = ustring(action);
    PObject& agent = request["_agent"];
    agent["platform"] = "Windows";
    agent["version"]["major"] = uint64_t{3};
    agent["version"]["minor"] = uint64_t{0};
    agent["version"]["build"] = uint64_t{3108};
}

const char* ProtoCmd2String(uint8_t cmd) {
    // Indexed by command code. The log names of 23 and 24 predate the
    // current use of those codes.
    static const char* const kNames[] = {
        nullptr,
        "SCMD_REQUEST",
        "SCMD_KEEP_ALIVE",
        "SCMD_AUTH",
        "SCMD_NOTIFY",
        "SCMD_LOGOUT",
        "SCMD_EVT_PULL",
        "SCMD_EVT_RECV",
        "SCMD_NEW_EVT_INFO",
        "SCMD_EVT_SEND",
        "SCMD_USER_CTRL",
        "SCMD_TEST_CONN",
        "SCMD_RESPONSE",
        "SCMD_USER_CHECK",
        "SCMD_REQUEST_CONNECT",
        "SCMD_EVT_REMOVE",
        "SCMD_GET_FILTER",
        "SCMD_LIST_VIEW",
        "SCMD_AUTH_2",
        "SCMD_EVT_RECV_2",
        "SCMD_REQUEST_SSL",
        "SCMD_EVT_RECV_3",
        "SCMD_REQUEST_SSL_2",
        "SCMD_PKG_VER_QUERY",
        "SCMD_GET_FOLDER_LIST",
    };
    if (cmd == 0 || cmd >= sizeof kNames / sizeof kNames[0]) return "Unknown command";
    return kNames[cmd];
}
