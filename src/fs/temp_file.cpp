#include "fs/temp_file.h"

#include "base/logger.h"
#include "fs/file_op.h"

namespace {
const char kComponent[] = "utility_debug";
}

ustring TempFile::default_prefix;

int TempFile::initialize(const ustring& prefix) {
    default_prefix = prefix;
    return 0;
}

TempFile::TempFile(const ustring& prefix) : tmp_prefix(prefix.empty() ? default_prefix : prefix), ref(new int(0)) {}

TempFile::TempFile(const TempFile& other)
    : tmp_prefix(other.tmp_prefix), path(other.path), ref(nullptr), permanent(other.permanent) {
    if (*other.ref > 0) {
        ref = other.ref;
        ++*ref;
    } else {
        ref = new int(0);
    }
}

TempFile& TempFile::operator=(const TempFile& other) {
    if (this == &other) return *this;
    release();
    tmp_prefix = other.tmp_prefix;
    path = other.path;
    permanent = other.permanent;
    if (*other.ref > 0) {
        ref = other.ref;
        ++*ref;
    } else {
        ref = new int(0);
    }
    return *this;
}

TempFile::~TempFile() {
    release();
}

void TempFile::release() {
    if (*ref >= 2) {
        --*ref;  // another holder keeps the file and the counter
        ref = nullptr;
        return;
    }
    if (*ref == 1 && !permanent) remove();
    delete ref;
    ref = nullptr;
}

int TempFile::create() {
    if (*ref != 0) return -1;
    if (FSMktemp(tmp_prefix, path) != 0) {
        TW_ERROR(kComponent, "failed to create TempFile ...\n");
        return -1;
    }
    *ref = 1;
    TW_DEBUG(kComponent, "creating TempFile '%s'\n", path.c_str());
    return 0;
}

void TempFile::remove() {
    TW_DEBUG(kComponent, "removing TempFile '%s'\n", path.c_str());
    if (!path.empty()) FSRemove(path, false);
    if (*ref >= 2) {
        // The file is gone for every holder; this one no longer shares it.
        --*ref;
        ref = new int(0);
    } else {
        *ref = 0;
    }
    path.clear();
}
