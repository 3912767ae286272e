#include "filter/force_hash_check_list_cpp.h"

ForceHashCheckListCpp::ForceHashCheckListCpp() {
    force_hash_check_list_init(&list);
}

ForceHashCheckListCpp::~ForceHashCheckListCpp() {
    force_hash_check_list_destroy(&list);
}

int ForceHashCheckListCpp::Load(const ustring& file) {
    std::lock_guard<std::mutex> guard(lock);
    force_hash_check_list_destroy(&list);
    if (force_hash_check_list_init(&list) != 0) {
        force_hash_check_list_destroy(&list);
        return -1;
    }
    return force_hash_check_list_read(&list, file.c_str());
}

void ForceHashCheckListCpp::Clear() {
    std::lock_guard<std::mutex> guard(lock);
    force_hash_check_list_destroy(&list);
    force_hash_check_list_init(&list);
}

int ForceHashCheckListCpp::Test(const ustring& name) const {
    std::lock_guard<std::mutex> guard(lock);
    return force_hash_extension_test(&list, name.c_str_utf8());
}
