// An owned scratch file: created empty under a fresh name in a directory and
// removed when its last holder lets go of it, unless it was made permanent.
//
// Copies share the file: the file goes with the last of them. A TempFile
// belongs to one thread at a time.
#pragma once

#include "base/ustring.h"

class TempFile {
public:
    // The file will be made in `prefix`, or in the default directory (see
    // initialize) when `prefix` is empty.
    explicit TempFile(const ustring& prefix);
    TempFile(const TempFile& other);
    TempFile& operator=(const TempFile& other);
    ~TempFile();

    // Makes the file: 0, or -1 when this object has a file already or none
    // can be created.
    int create();
    const ustring& getPath() const { return path; }
    // The file then outlives this object; whoever took its path owns it.
    void convert_permanent() { permanent = true; }
    // Removes the file now, permanent or not; create may be called again.
    void remove();
    // The directory for a file not yet created.
    void setPrefix(const ustring& prefix) { tmp_prefix = prefix; }

    // Sets the directory used for an empty prefix; 0.
    static int initialize(const ustring& prefix);

private:
    void release();

    ustring tmp_prefix;
    ustring path;
    // Holders of the file: 0 while there is no file, 1 once created, more
    // while copies share it.
    int* ref;
    bool permanent = false;

    static ustring default_prefix;
};
