// The control socket served on the main thread: one request and one reply
// per connection, each request run on the application's message loop. A
// client has a few seconds to deliver its request and again to take its
// reply (SIGTERM and SIGINT end either at once), and a request must stay
// small: 16 levels, 65536 values, 4 MiB of text.
#pragma once

class TidewellApp;

// Serves until "stop" (or SIGTERM/SIGINT): 0; -1 when the socket cannot be
// set up, the port cannot be handed back, or the message loop has ended.
int recieve_from_ipc(TidewellApp& daemon);

// Connects to the UI's port and sends {"daemon_port": local_port}: 0 or -1.
int send_port_back(int ui_port, int local_port);
