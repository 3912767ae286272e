// One entry of the file status database: the state of one full local path.
#pragma once

#include "base/ustring.h"

enum FStatusInfoType {
    FSTAT_UNKNOWN = 0,
    FSTAT_SYNCED = 1,
    FSTAT_SYNCING = 2,
    FSTAT_UNSUPPORT = 3,
    FSTAT_READ_ONLY = 4,
    FSTAT_NUM_OF_TYPE = 5,
};

// Column positions of the fstatinfo table.
enum FStatDbSqlFieldType {
    FSTAT_DB_ID = 0,
    FSTAT_DB_PATH = 1,
    FSTAT_DB_FILETYPE = 2,
    FSTAT_DB_SYNCSTATUS = 3,
    FSTAT_DB_NUM_OF_TYPE = 4,
};

struct FileStatusInfo {
    int fileType = 0;    // 1 directory, 0 file
    int syncStatus = 0;  // an FStatusInfoType value
    ustring path;        // full local path, "/"-separated

    void clear() {
        fileType = 0;
        syncStatus = 0;
        path.clear();
    }
};
