#include "delta/simple_file_reader.h"

#include <cstdlib>

#include "delta/diag.h"
#include "delta/xio.h"

int SimpleFileReader::readFile() {
    if (file.empty()) {
        DELTA_DIAG("invalid arguments (file = '')");
        return ERROR_ARGUMENT;
    }
    int rc = begin();
    if (rc != SUCCESS) {
        end();
        return rc;
    }
    fd_t fd;
    if (fd_open_read(file, fd) != 0) {
        end();
        return ERROR_SYSTEM_CALL;
    }
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(CHUNK_SIZE));
    if (!buffer) {
        DELTA_DIAG("cannot allocate a read buffer");
        rc = ERROR_SYSTEM_CALL;
    }
    while (buffer) {
        if (isAborted()) {
            rc = ERROR_ABORT;
            break;
        }
        ssize_t n = fd_read(fd, buffer, CHUNK_SIZE);
        if (n < 0) {
            rc = ERROR_SYSTEM_CALL;
            break;
        }
        if (n == 0) {
            rc = SUCCESS;
            break;
        }
        int updated = update(buffer, static_cast<size_t>(n));
        int waited = wait();
        if (updated != SUCCESS || waited != SUCCESS) {
            rc = ERROR_HANDLER_CALL;
            break;
        }
    }
    // The handlers write their last bytes here: a failure now leaves an
    // output incomplete and must not pass for success.
    if (end() != SUCCESS && rc == SUCCESS) rc = ERROR_HANDLER_CALL;
    std::free(buffer);
    fd_close(fd);
    return rc;
}
