// The connecting end of the control socket: one connection that carries one
// value each way, used for the port hand-back and the UI notifications.
#pragma once

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
    int assign(int fd);
    void close();
    virtual int send(const PObject& msg, bool need_response, PObject& response);
    virtual int send(const PObject& msg);
    virtual int recv(PObject& response);

private:
    Channel c;
};
