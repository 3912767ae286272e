// The channel handed out where there is none: every use fails with ERR_IO
// (ERR_SYS for the SSL conversion) and a critical log line, instead of a
// null dereference.
#pragma once

#include "net/channel.h"

class BadChannel : public Channel {
public:
    // The process-wide instance, built on first use.
    static BadChannel& getInstance();

    BadChannel() : Channel(kDefaultCapacity) {}

    int Open(const char* addr) override;
    int Open(SOCKET fd, bool nonblock) override;
    int Open(const char* ip, int port) override;
    int Close() override { return 0; }
    void SetTimeout(uint32_t) override {}
    void SetFlag(int*) override {}
    int ConvertToSSLChannel(bool is_server) override;
    int ReadByte(uint8_t* value) override;
    int ReadInt16(uint16_t* value) override;
    int ReadInt32(uint32_t* value) override;
    int ReadInt64(uint64_t* value) override;
    int WriteByte(uint8_t value) override;
    int WriteInt16(uint16_t value) override;
    int WriteInt32(uint32_t value) override;
    int WriteInt64(uint64_t value) override;
    int Read(char* buf, size_t len) override;
    int Read(char* buf, size_t len, size_t& total) override;
    int Write(const char* buf, size_t len) override;
    void ClearRead() override {}
    void ClearWrite() override {}
    int FlushWrite(int want) override;
    bool IsClosed() override;
};
