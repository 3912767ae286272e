#include "filter/black_list2.h"

BlackList2::BlackList2() {
    filter_init(&filter);
}

BlackList2::~BlackList2() {
    filter_destroy(&filter);
}

BlackList2& BlackList2::getInstance() {
    static BlackList2 instance;
    return instance;
}

int BlackList2::Load(const ustring& file) {
    std::lock_guard<std::mutex> guard(mutex);
    filter_destroy(&filter);
    if (filter_init(&filter) != 0) {
        filter_destroy(&filter);
        return -1;
    }
    return filter_read(&filter, file.c_str());
}

void BlackList2::Destroy() {
    std::lock_guard<std::mutex> guard(mutex);
    filter_destroy(&filter);
}

int BlackList2::TestFilePath(const ustring& path) {
    std::lock_guard<std::mutex> guard(mutex);
    return filter_test_path(&filter, 0, path.c_str_utf8());
}

int BlackList2::TestDirectoryPath(const ustring& path) {
    std::lock_guard<std::mutex> guard(mutex);
    return filter_test_path(&filter, 1, path.c_str_utf8());
}

int BlackList2::TestFileSize(uint64_t size) {
    std::lock_guard<std::mutex> guard(mutex);
    return filter_test_file_size(&filter, size);
}

int BlackList2::TestFullPathSize(uint64_t size) {
    std::lock_guard<std::mutex> guard(mutex);
    return filter_test_full_path_size(&filter, size);
}
