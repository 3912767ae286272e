// SIGTERM and SIGINT as a request for the orderly stop that "stop" gives;
// SIGPIPE is ignored so that a peer closing a socket never kills the process.
#pragma once

class StopSignal {
public:
    // Installs the handlers and opens the wake-up pipe: 0 or -1.
    static int Install();
    // Whether SIGTERM or SIGINT arrived since Install().
    static bool Requested();
    // The number of the signal that asked for the stop, 0 when none did.
    static int Signal();
    // Readable once a stop was requested; -1 before Install().
    static int WakeFd();
};
