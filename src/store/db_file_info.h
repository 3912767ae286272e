// One record of a session's file event database: an item known to be in step
// with the server.
#pragma once

#include <cstdint>

#include "base/ustring.h"

struct DBFileInfo {
    int isExist;  // 1 for a stored record
    uint64_t syncID;
    uint64_t maxSyncID;
    int fileType;  // 0 file, 1 directory
    uint64_t fileSize;
    ustring fileCheckSum;
    uint32_t fileModTime;
    uint32_t execBit;
    ustring macHash;
    uint32_t unixUid;
    uint32_t unixGid;
    uint32_t unixMode;
    ustring unixHash;
    ustring aclAttribute;
    ustring aclHash;
    uint32_t sharePrivDisabled;
    ustring sharePrivDenyList;
    ustring sharePrivRoList;
    ustring sharePrivRwList;
    ustring sharePrivHash;
    uint64_t inode;
    ustring path;
    // On reading: the record's signature file (empty for a directory). On
    // writing: a signature file to move into place (empty: keep the current).
    ustring signaturePath;

    DBFileInfo() { Clear(); }

    void Clear() {
        isExist = 0;
        syncID = 0;
        maxSyncID = 0;
        fileType = 0;
        fileSize = 0;
        fileCheckSum.clear();
        fileModTime = 0;
        execBit = 0;
        macHash.clear();
        unixUid = 0;
        unixGid = 0;
        unixMode = 0;
        unixHash.clear();
        aclAttribute.clear();
        aclHash.clear();
        sharePrivDisabled = 0;
        sharePrivDenyList.clear();
        sharePrivRoList.clear();
        sharePrivRwList.clear();
        sharePrivHash.clear();
        inode = 0;
        path.clear();
        signaturePath.clear();
    }

    // A record that names a stored item.
    bool IsValid() const { return isExist == 1 && !path.empty(); }
    bool IsFile() const { return fileType == 0; }
    bool IsDir() const { return fileType == 1; }
};
