// An in-memory tree of names with a small attribute per entry, built from a
// directory walk or a database listing so that the two can be compared entry
// by entry. Names are interned in a StringBuffer that the lists of one
// comparison share; nodes hold handles into it.
//
// Iteration (rbegin() .. rend()) yields every entry below the root exactly
// once: at each directory its files and sub-directories together in
// descending byte order of their names, each sub-directory's contents before
// the sub-directory itself. The root is never yielded.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "base/ustring.h"
#include "event/string_buffer.h"

class FileList {
public:
    using String = StringBuffer::String;

    struct Attribute {
        uint32_t mtime = 0;
        uint64_t size = 0;
        ustring acl_hash;

        bool operator==(const Attribute& o) const {
            return mtime == o.mtime && size == o.size && acl_hash == o.acl_hash;
        }
        bool operator!=(const Attribute& o) const { return !(*this == o); }
    };

    struct FileNode {
        String name;
        Attribute attr;
        bool operator<(const FileNode& o) const { return name < o.name; }
    };

    struct DirNode {
        String name;
        const DirNode* parent = nullptr;  // null for the root
        std::map<String, DirNode*> dir;
        std::set<FileNode> file;
        Attribute attr;  // size is always 0
    };

    struct Entry {
        int flag = 0;  // 1 directory, 0 file
        ustring path;
        Attribute attr;
        bool is_dir() const { return flag == 1; }
        bool is_file() const { return flag == 0; }
    };

    class reverse_iterator {
    public:
        enum State { PRINT_ME = 0, PRINT_DIR = 1, PRINT_FILE = 2 };

        reverse_iterator() = default;

        reverse_iterator& operator++();
        const Entry& operator*() const { return ent; }
        const Entry* operator->() const { return &ent; }
        // Positions compare by list, current directory and state only.
        bool operator==(const reverse_iterator& o) const {
            return flist == o.flist && cur == o.cur && state == o.state;
        }
        bool operator!=(const reverse_iterator& o) const { return !(*this == o); }

    private:
        friend class FileList;
        struct stack_entry {
            const DirNode* node;
            std::set<FileNode>::const_reverse_iterator file_pos;
            std::map<String, DirNode*>::const_reverse_iterator dir_pos;
        };

        // Descends from `cur` to the next entry to yield.
        void get_last_of();
        ustring dir_path() const;

        const FileList* flist = nullptr;
        const DirNode* cur = nullptr;
        std::vector<stack_entry> stack;
        State state = PRINT_ME;
        Entry ent;
    };

    explicit FileList(StringBuffer& buf);
    ~FileList();
    FileList(const FileList&) = delete;
    FileList& operator=(const FileList&) = delete;

    // Every "add" gives -1 when the name is taken in that directory (by a file
    // or a directory), the name is empty, holds "/" or is longer than 1023
    // bytes, or interning fails. File forms give 0; directory forms give the
    // new directory's id.
    int AddFile(DirNode* dir, const char* name, const Attribute& attr);
    int AddFile(int dir_id, const char* name, const Attribute& attr);
    // Adds by "/"-separated path below the root, creating missing directories
    // with empty attributes. -1 also for a path ending with "/", a path of 4096
    // bytes or more, or a directory component that is a file.
    int AddFile(const char* path, const Attribute& attr);
    int AddFile(DirNode* dir, const char* name, uint32_t mtime, uint64_t size, const ustring& acl_hash);
    int AddFile(int dir_id, const char* name, uint32_t mtime, uint64_t size, const ustring& acl_hash);
    int AddFile(const char* path, uint32_t mtime, uint64_t size, const ustring& acl_hash);

    int AddDirectory(DirNode* dir, const char* name, const Attribute& attr);
    int AddDirectory(int dir_id, const char* name, const Attribute& attr);
    int AddDirectory(const char* path, const Attribute& attr);
    int AddDirectory(DirNode* dir, const char* name, uint32_t mtime, const ustring& acl_hash);
    int AddDirectory(int dir_id, const char* name, uint32_t mtime, const ustring& acl_hash);
    int AddDirectory(const char* path, uint32_t mtime, const ustring& acl_hash);

    reverse_iterator rbegin() const;
    reverse_iterator rend() const;

    DirNode* GetRoot() const { return root; }
    // The directory with id `dir_id` (0 is the root), or null.
    DirNode* GetDirNode(int dir_id) const;
    int GetDirCount() const { return static_cast<int>(node.size()); }

private:
    static bool NameTaken(const DirNode* dir, const String& name);
    // Walks the directory part of `path`, creating missing directories; null
    // when a component is a file or interning fails.
    DirNode* WalkDirs(std::string_view dir_part);
    DirNode* NewDir(DirNode* parent, const String& name, const Attribute& attr);

    StringBuffer& buf;
    DirNode* root;
    std::vector<DirNode*> node;
};
