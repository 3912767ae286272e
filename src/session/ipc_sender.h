// The connecting end of the control socket: one connection that carries one
// value each way, used for the port hand-back and the UI notifications.
#pragma once

#include <cstdint>
#include <string>

#include "net/channel.h"
#include "value/pobject.h"

class IPCSender {
public:
    IPCSender();
    virtual ~IPCSender();
    IPCSender(const IPCSender&) = delete;
    IPCSender& operator=(const IPCSender&) = delete;

    // Each returns 0 or -1.
    int connect(int port);
    int connect(const std::string& path);
    // The same with a bound on the connect itself: a listener that does not
    // accept (its backlog full) costs at most `timeout_ms`; -1 with errno
    // ETIMEDOUT then.
    int connect(int port, int timeout_ms);
    int connect(const std::string& path, int timeout_ms);
    int assign(int fd);
    // Seconds without progress before a send or receive gives up (0: none).
    void set_timeout(uint32_t seconds);
    void close();
    virtual int send(const PObject& msg, bool need_response, PObject& response);
    virtual int send(const PObject& msg);
    virtual int recv(PObject& response);

private:
    Channel c;
};
