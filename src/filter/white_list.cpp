#include "filter/white_list.h"

#include <cstddef>

#include "filter/name_match.h"
#include "filter/parser.h"

namespace {

const schema_key version_keys[] = {
    {"major", integer32_type, offsetof(WhiteListVersionSection, major)},
    {"minor", integer32_type, offsetof(WhiteListVersionSection, minor)},
};

const schema_key file_keys[] = {
    {"white_ext", string_set_type, offsetof(WhiteListFileSection, white_ext)},
};

const schema_section sections[] = {
    {"Version", offsetof(WhiteList, version), 2, version_keys},
    {"File", offsetof(WhiteList, file), 1, file_keys},
};

}  // namespace

const schema_parser white_list_schema = {1, 0, 2, sections};

int white_list_init(WhiteList* list) {
    *list = WhiteList{};
    return vt_string_set_init(&list->file.white_ext, 4);
}

int white_list_read(WhiteList* list, const char* fname) {
    parse_result r = parse(fname, &white_list_schema, list);
    if (r == PARSE_DONE || (r == PARSE_PARTIAL && list->version.major == 1 && list->version.minor > 0)) return 0;
    white_list_destroy(list);
    return -1;
}

void white_list_destroy(WhiteList* list) {
    vt_string_set_destroy(&list->file.white_ext);
    list->version = WhiteListVersionSection{};
}

int white_list_test(const WhiteList* list, const char* filename) {
    if (!filename || !*filename) return -1;
    if (filter_match::set_has_entry(list->file.white_ext, "*")) return 0;
    std::string_view ext = filter_match::file_extension(filename).value_or(std::string_view());
    return filter_match::set_has_name(list->file.white_ext, ext) ? 0 : -1;
}
