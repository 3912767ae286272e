#include "stream/xfopen.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "base/logger.h"

FILE* xfopen(const ustring& path, const char* mode) {
    int flags;
    switch (mode[0]) {
        case 'r':
            flags = O_RDONLY;
            break;
        case 'w':
            flags = O_WRONLY | O_CREAT | O_TRUNC;
            break;
        case 'a':
            flags = O_WRONLY | O_CREAT | O_APPEND;
            break;
        default:
            flags = O_RDWR | O_CREAT | O_TRUNC;
            break;
    }
    int fd = open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) {
        TW_ERROR("stream", "CreateFile(\"%s\"): Error code %d\n", path.c_str(), errno);
        return nullptr;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    FILE* fp = fdopen(fd, mode);
    if (fp == nullptr) {
        TW_ERROR("stream", "_wfdopen(\"%s\", \"%s\"): Error code %d\n", path.c_str(), mode, errno);
        close(fd);
    }
    return fp;
}
