#include "server/metered_channel.h"

namespace tw_server {

int MeteredChannel::Cut() {
    cut_ = true;
    read_budget_ = write_budget_ = -1;
    Close();
    return ERR_IO;
}

int MeteredChannel::Read(char* buf, size_t len, size_t& total) {
    total = 0;
    if (cut_) return ERR_IO;
    if (read_budget_ >= 0 && len > static_cast<uint64_t>(read_budget_)) {
        size_t allowed = static_cast<size_t>(read_budget_);
        if (allowed > 0) {
            int ret = Channel::Read(buf, allowed, total);
            bytes_read_ += total;
            if (ret < 0) return ret;
        }
        return Cut();
    }
    int ret = Channel::Read(buf, len, total);
    bytes_read_ += total;
    if (read_budget_ >= 0) read_budget_ -= static_cast<int64_t>(total);
    return ret;
}

int MeteredChannel::Write(const char* buf, size_t len) {
    if (cut_) return ERR_IO;
    if (write_budget_ >= 0 && len > static_cast<uint64_t>(write_budget_)) {
        size_t allowed = static_cast<size_t>(write_budget_);
        if (allowed > 0 && Channel::Write(buf, allowed) == 0) bytes_written_ += allowed;
        FlushWrite(0);
        return Cut();
    }
    int ret = Channel::Write(buf, len);
    if (ret == 0) {
        bytes_written_ += len;
        if (write_budget_ >= 0) write_budget_ -= static_cast<int64_t>(len);
    }
    return ret;
}

}  // namespace tw_server
