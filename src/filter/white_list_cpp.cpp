#include "filter/white_list_cpp.h"

WhiteListCpp::WhiteListCpp() {
    white_list_init(&list);
}

WhiteListCpp::~WhiteListCpp() {
    white_list_destroy(&list);
}

int WhiteListCpp::Load(const ustring& file) {
    std::lock_guard<std::mutex> guard(lock);
    white_list_destroy(&list);
    if (white_list_init(&list) != 0) {
        white_list_destroy(&list);
        return -1;
    }
    return white_list_read(&list, file.c_str());
}

void WhiteListCpp::Clear() {
    std::lock_guard<std::mutex> guard(lock);
    white_list_destroy(&list);
    white_list_init(&list);
}

int WhiteListCpp::Test(const ustring& name) const {
    std::lock_guard<std::mutex> guard(lock);
    return white_list_test(&list, name.c_str_utf8());
}
