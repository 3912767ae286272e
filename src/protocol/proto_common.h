// Framing of requests to the sync server: an 8-byte header naming the
// command, then one map in the tagged binary encoding, started by the
// envelope that every request carries.
//
// Header, big-endian: magic 0x25521814 (4 bytes), protocol version (1),
// command (1), payload length (2, always written as 0: the body delimits
// itself).
#pragma once

#include <cstdint>
#include <string>

#include "net/channel.h"
#include "value/pobject.h"

enum { PROTO_VERSION = 70 };

constexpr uint32_t PROTO_MAGIC = 0x25521814;

enum SyncProtoCmd {
    SCMD_REQUEST = 1,
    SCMD_KEEP_ALIVE = 2,
    SCMD_AUTH = 3,
    SCMD_NOTIFY = 4,
    SCMD_LOGOUT = 5,
    SCMD_EVT_PULL = 6,
    SCMD_EVT_RECV = 7,
    SCMD_NEW_EVT_INFO = 8,
    SCMD_EVT_SEND = 9,
    SCMD_USER_CTRL = 10,
    SCMD_TEST_CONN = 11,
    SCMD_RESPONSE = 12,
    SCMD_USER_CHECK = 13,
    SCMD_REQUEST_CONNECT = 14,
    SCMD_EVT_REMOVE = 15,
    SCMD_GET_FILTER = 16,
    SCMD_LIST_VIEW = 17,
    SCMD_AUTH_2 = 18,
    SCMD_EVT_RECV_2 = 19,
    SCMD_REQUEST_SSL = 20,
    SCMD_EVT_RECV_3 = 21,
    SCMD_REQUEST_SSL_2 = 22,
    SCMD_EVT_RECV_4 = 23,
    SCMD_EVT_SEND_2 = 24,
    SCMD_QUERY_SERVER_INFO = 25,
    SCMD_LIST = 26,
    SCMD_RESUME_TRANSFER = 27,
    SCMD_LIST_VERSION = 28,
    SCMD_SHARE_LINK = 29,
};

// Puts the header into the channel's write buffer; nothing is flushed, the
// header leaves together with the body. 0 or the channel's negative result;
// a failure may leave part of the header buffered.
int ProtoWriteHeader(Channel& channel, uint16_t payload_length, uint8_t cmd);

// Sets the members every request starts with: "_action" and the agent's
// platform and version. Members already present are kept.
void InitRequest(PObject& request, const std::string& action);

// The name of a command in log lines.
const char* ProtoCmd2String(uint8_t cmd);
