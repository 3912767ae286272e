// The daemon process: reads its configuration, opens the log, writes the pid
// file, runs the application and serves the control socket until "stop".
#pragma once

// The body of tidewell-daemon's main: 0 after an orderly stop, -1 on a
// failure to start.
int daemon_main(int argc, char** argv);

// Writes the usage text to standard output.
void usage();
