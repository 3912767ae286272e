#include "net/bad_channel.h"

#include "base/logger.h"

namespace {

int Refuse(int code) {
    TW_CRIT("connection_debug", "bad function in use\n");
    return code;
}

}  // namespace

BadChannel& BadChannel::getInstance() {
    static BadChannel instance;
    return instance;
}

int BadChannel::Open(const char*) {
    return Refuse(ERR_IO);
}
int BadChannel::Open(SOCKET, bool) {
    return Refuse(ERR_IO);
}
int BadChannel::Open(const char*, int) {
    return Refuse(ERR_IO);
}
int BadChannel::ConvertToSSLChannel(bool) {
    return Refuse(ERR_SYS);
}
int BadChannel::ReadByte(uint8_t*) {
    return Refuse(ERR_IO);
}
int BadChannel::ReadInt16(uint16_t*) {
    return Refuse(ERR_IO);
}
int BadChannel::ReadInt32(uint32_t*) {
    return Refuse(ERR_IO);
}
int BadChannel::ReadInt64(uint64_t*) {
    return Refuse(ERR_IO);
}
int BadChannel::WriteByte(uint8_t) {
    return Refuse(ERR_IO);
}
int BadChannel::WriteInt16(uint16_t) {
    return Refuse(ERR_IO);
}
int BadChannel::WriteInt32(uint32_t) {
    return Refuse(ERR_IO);
}
int BadChannel::WriteInt64(uint64_t) {
    return Refuse(ERR_IO);
}
int BadChannel::Read(char*, size_t) {
    return Refuse(ERR_IO);
}
int BadChannel::Read(char*, size_t, size_t& total) {
    total = 0;
    return Refuse(ERR_IO);
}
int BadChannel::Write(const char*, size_t) {
    return Refuse(ERR_IO);
}
int BadChannel::FlushWrite(int) {
    return Refuse(ERR_IO);
}
bool BadChannel::IsClosed() {
    Refuse(ERR_IO);
    return true;
}
