// The SSL side of Channel. This build has no SSL layer yet: conversion is
// refused, and the SSL I/O set refuses every operation, so a channel can
// never pass plain bytes while believing it is encrypted.
#include "base/logger.h"
#include "net/channel.h"

std::string Channel::m_cert_path;
std::string Channel::m_key_path;
ustring Channel::m_ca_path;

namespace {

int NoSslRead(void*, void*, size_t, const timeval&, int*) {
    return ERR_SYS;
}
int NoSslWrite(void*, const void*, size_t, const timeval&, int*) {
    return ERR_SYS;
}
SOCKET NoSslGetFd(void*) {
    return -1;
}
int NoSslClose(void*) {
    return 0;
}
bool NoSslIsInvalid(void*) {
    return true;
}

const Channel::__tag_CHANNEL_OPS kNoSslOps = {nullptr, NoSslRead, NoSslWrite, NoSslGetFd, NoSslClose, NoSslIsInvalid};

}  // namespace

const Channel::__tag_CHANNEL_OPS& Channel::SSLOps() {
    return kNoSslOps;
}

int Channel::ConvertToSSLChannel(bool) {
    TW_WARNING("channel_debug", "ConvertToSSLChannel: SSL is not available in this build\n");
    return ERR_SYS;
}
