#include "event/file_list.h"

#include <cstring>
#include <string>

#include "base/logger.h"
#include "event/path_split.h"

namespace {

constexpr const char* kLog = "flist_debug";

// A name usable as one entry of a directory.
bool ValidName(const char* name) {
    if (name == nullptr || name[0] == '\0') return false;
    size_t len = std::strlen(name);
    return len <= path_split::kMaxNameBytes && std::memchr(name, '/', len) == nullptr;
}

}  // namespace

FileList::FileList(StringBuffer& b) : buf(b), root(new DirNode) {
    String name;
    if (buf.insert("/", name) != 0) name = String("/");
    root->name = name;
    node.push_back(root);
}

FileList::~FileList() {
    for (DirNode* d : node) delete d;
}

FileList::DirNode* FileList::GetDirNode(int dir_id) const {
    if (dir_id < 0 || static_cast<size_t>(dir_id) >= node.size()) return nullptr;
    return node[dir_id];
}

bool FileList::NameTaken(const DirNode* dir, const String& name) {
    if (dir->dir.count(name) != 0) return true;
    FileNode probe;
    probe.name = name;
    return dir->file.count(probe) != 0;
}

FileList::DirNode* FileList::NewDir(DirNode* parent, const String& name, const Attribute& attr) {
    DirNode* d = new DirNode;
    d->name = name;
    d->parent = parent;
    d->attr = attr;
    d->attr.size = 0;
    parent->dir.emplace(name, d);
    node.push_back(d);
    return d;
}

int FileList::AddFile(DirNode* dir, const char* name, const Attribute& attr) {
    if (dir == nullptr || !ValidName(name)) return -1;
    if (NameTaken(dir, String(name))) return -1;
    FileNode f;
    if (buf.insert(name, f.name) != 0) return -1;
    f.attr = attr;
    dir->file.insert(std::move(f));
    return 0;
}

int FileList::AddFile(int dir_id, const char* name, const Attribute& attr) {
    return AddFile(GetDirNode(dir_id), name, attr);
}

int FileList::AddDirectory(DirNode* dir, const char* name, const Attribute& attr) {
    if (dir == nullptr || !ValidName(name)) return -1;
    if (NameTaken(dir, String(name))) return -1;
    String interned;
    if (buf.insert(name, interned) != 0) return -1;
    NewDir(dir, interned, attr);
    return static_cast<int>(node.size()) - 1;
}

int FileList::AddDirectory(int dir_id, const char* name, const Attribute& attr) {
    return AddDirectory(GetDirNode(dir_id), name, attr);
}

FileList::DirNode* FileList::WalkDirs(std::string_view dir_part) {
    DirNode* cur = root;
    size_t pos = 0;
    std::string_view comp;
    char name[path_split::kMaxNameBytes + 1];
    while (path_split::NextComponent(dir_part, pos, comp)) {
        std::memcpy(name, comp.data(), comp.size());
        name[comp.size()] = '\0';
        TW_DEBUG(kLog, "searching parent '%s'\n", name);
        String key(name);
        auto it = cur->dir.find(key);
        if (it != cur->dir.end()) {
            cur = it->second;
            continue;
        }
        FileNode probe;
        probe.name = key;
        if (cur->file.count(probe) != 0) return nullptr;
        String interned;
        if (buf.insert(name, interned) != 0) return nullptr;
        cur = NewDir(cur, interned, Attribute());
    }
    return cur;
}

int FileList::AddFile(const char* path, const Attribute& attr) {
    if (path == nullptr) return -1;
    std::string_view dir_part, base;
    if (path_split::Split(path, dir_part, base) != path_split::OK) return -1;
    DirNode* parent = WalkDirs(dir_part);
    if (parent == nullptr) return -1;
    TW_DEBUG(kLog, "adding file '%s'\n", path);
    return AddFile(parent, std::string(base).c_str(), attr);
}

int FileList::AddDirectory(const char* path, const Attribute& attr) {
    if (path == nullptr) return -1;
    std::string_view dir_part, base;
    if (path_split::Split(path, dir_part, base) != path_split::OK) return -1;
    DirNode* parent = WalkDirs(dir_part);
    if (parent == nullptr) return -1;
    TW_DEBUG(kLog, "adding directory '%s'\n", path);
    return AddDirectory(parent, std::string(base).c_str(), attr);
}

int FileList::AddFile(DirNode* dir, const char* name, uint32_t mtime, uint64_t size, const ustring& acl_hash) {
    return AddFile(dir, name, Attribute{mtime, size, acl_hash});
}
int FileList::AddFile(int dir_id, const char* name, uint32_t mtime, uint64_t size, const ustring& acl_hash) {
    return AddFile(dir_id, name, Attribute{mtime, size, acl_hash});
}
int FileList::AddFile(const char* path, uint32_t mtime, uint64_t size, const ustring& acl_hash) {
    return AddFile(path, Attribute{mtime, size, acl_hash});
}
int FileList::AddDirectory(DirNode* dir, const char* name, uint32_t mtime, const ustring& acl_hash) {
    return AddDirectory(dir, name, Attribute{mtime, 0, acl_hash});
}
int FileList::AddDirectory(int dir_id, const char* name, uint32_t mtime, const ustring& acl_hash) {
    return AddDirectory(dir_id, name, Attribute{mtime, 0, acl_hash});
}
int FileList::AddDirectory(const char* path, uint32_t mtime, const ustring& acl_hash) {
    return AddDirectory(path, Attribute{mtime, 0, acl_hash});
}

FileList::reverse_iterator FileList::rbegin() const {
    reverse_iterator it;
    it.flist = this;
    it.cur = root;
    it.stack.push_back({root, root->file.crbegin(), root->dir.crbegin()});
    it.get_last_of();
    return it;
}

FileList::reverse_iterator FileList::rend() const {
    reverse_iterator it;
    it.flist = this;
    it.cur = root;
    it.state = reverse_iterator::PRINT_ME;
    return it;
}

ustring FileList::reverse_iterator::dir_path() const {
    std::string path;
    for (size_t i = 1; i < stack.size(); ++i) {
        path += '/';
        path += stack[i].node->name.c_str();
    }
    return ustring(path);
}

void FileList::reverse_iterator::get_last_of() {
    for (;;) {
        stack_entry& top = stack.back();
        const DirNode* d = top.node;
        const bool has_file = top.file_pos != d->file.crend();
        const bool has_dir = top.dir_pos != d->dir.crend();
        if (!has_file && !has_dir) {
            state = PRINT_ME;
            if (cur != flist->root) {
                ent.flag = 1;
                ent.path = dir_path();
                ent.attr = cur->attr;
            }
            return;
        }
        if (has_file && (!has_dir || top.file_pos->name > top.dir_pos->first)) {
            state = PRINT_FILE;
            std::string path = dir_path().str();
            path += '/';
            path += top.file_pos->name.c_str();
            ent.flag = 0;
            ent.path = ustring(path);
            ent.attr = top.file_pos->attr;
            ++top.file_pos;
            return;
        }
        const DirNode* sub = top.dir_pos->second;
        ++top.dir_pos;
        state = PRINT_DIR;
        cur = sub;
        stack.push_back({sub, sub->file.crbegin(), sub->dir.crbegin()});
    }
}

FileList::reverse_iterator& FileList::reverse_iterator::operator++() {
    if (flist == nullptr || stack.empty()) return *this;
    if (state == PRINT_ME) {
        if (cur == flist->root) return *this;  // already at the end
        stack.pop_back();
        cur = stack.back().node;
    }
    get_last_of();
    return *this;
}
