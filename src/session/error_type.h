// How a task's failure is reported to the UI: not at all, as a session
// error, as a connection error (the two "error" notices of ui_ipc.h), or as
// a file error ("locked_file").
#pragma once

enum ErrorType {
    ERR_NONE = 0,
    ERR_SESSION = 1,
    ERR_CONNECTION = 2,
    ERR_FILE = 3,
};
