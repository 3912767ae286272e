#include "filter/force_hash_check_list.h"

#include <cstddef>

#include "filter/name_match.h"
#include "filter/parser.h"

namespace {

const schema_key version_keys[] = {
    {"major", integer32_type, offsetof(ForceHashCheckListVersionSection, major)},
    {"minor", integer32_type, offsetof(ForceHashCheckListVersionSection, minor)},
};

const schema_key file_keys[] = {
    {"force_hash_ext", string_set_type, offsetof(ForceHashCheckListFileSection, force_hash_ext)},
};

const schema_section sections[] = {
    {"Version", offsetof(ForceHashCheckList, version), 2, version_keys},
    {"File", offsetof(ForceHashCheckList, file), 1, file_keys},
};

}  // namespace

const schema_parser force_hash_check_list_schema = {1, 0, 2, sections};

int force_hash_check_list_init(ForceHashCheckList* list) {
    *list = ForceHashCheckList{};
    return vt_string_set_init(&list->file.force_hash_ext, 4);
}

int force_hash_check_list_read(ForceHashCheckList* list, const char* fname) {
    parse_result r = parse(fname, &force_hash_check_list_schema, list);
    if (r == PARSE_DONE || (r == PARSE_PARTIAL && list->version.major == 1 && list->version.minor > 0)) return 0;
    force_hash_check_list_destroy(list);
    return -1;
}

void force_hash_check_list_destroy(ForceHashCheckList* list) {
    vt_string_set_destroy(&list->file.force_hash_ext);
    list->version = ForceHashCheckListVersionSection{};
}

int force_hash_extension_test(const ForceHashCheckList* list, const char* filename) {
    if (!filename || !*filename) return -1;
    if (filter_match::set_has_entry(list->file.force_hash_ext, "*")) return 1;
    std::string_view ext = filter_match::file_extension(filename).value_or(std::string_view());
    return filter_match::set_has_name(list->file.force_hash_ext, ext) ? 1 : 0;
}
