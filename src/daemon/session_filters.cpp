#include "daemon/session_filters.h"

#include "base/logger.h"
#include "filter/filter.h"
#include "filter/filter_utils.h"
#include "filter/white_list.h"
#include "store/filter_db.h"
#include "store/filter_info.h"

namespace {

const char* const kComponent = "client_debug";

// The parsed files, freed on every path.
struct ParsedFilters {
    Filter black;
    WhiteList white;
    ParsedFilters() {
        filter_init(&black);
        white_list_init(&white);
    }
    ~ParsedFilters() {
        filter_destroy(&black);
        white_list_destroy(&white);
    }
    ParsedFilters(const ParsedFilters&) = delete;
    ParsedFilters& operator=(const ParsedFilters&) = delete;
};

}  // namespace

int reload_filter(uint64_t sess_id, uint64_t sync_id, const ustring& black_list_path,
                  const ustring& white_list_path) {
    ParsedFilters files;
    if (filter_read(&files.black, black_list_path.c_str()) < 0) {
        TW_ERROR(kComponent, "Failed to read black list filter [%s]\n", black_list_path.c_str());
        return -1;
    }
    if (white_list_read(&files.white, white_list_path.c_str()) < 0) {
        TW_ERROR(kComponent, "Failed to read white list filter [%s]\n", white_list_path.c_str());
        return -1;
    }
    SelectiveSyncInfo file_info;
    ConvertFilterFileToSelectiveSyncInfo(sync_id, files.black, file_info);
    ConvertWhiteFilterFileToSelectiveSyncInfo(sync_id, files.white, file_info);

    FilterDB& db = FilterDB::getInstance();
    SelectiveSyncInfo db_info;
    if (db.ConvertFilterDBToSelectiveSyncInfo(sess_id, db_info) != 0) {
        TW_ERROR(kComponent, "Failed to convert black list from filter DB.\n");
        return -1;
    }
    if (db.ConvertWhiteFilterDBToSelectiveSyncInfo(sess_id, db_info) != 0) {
        TW_ERROR(kComponent, "Failed to convert white list from filter DB.\n");
        return -1;
    }

    if (CompareFilterList(sess_id, FILTER_TYPE_PREFIX, db_info.black_prefix, file_info.black_prefix) != 0) {
        TW_ERROR(kComponent, "Failed to CompareFilterList for PATH_PREFIX.\n");
        return -1;
    }
    if (CompareFilterList(sess_id, FILTER_TYPE_NAME, db_info.black_name, file_info.black_name) != 0) {
        TW_ERROR(kComponent, "Failed to CompareFilterList for BLACK_NAME.\n");
        return -1;
    }
    if (CompareExtensionFilterList(sess_id, db_info, file_info) != 0) {
        TW_ERROR(kComponent, "Failed to CompareExtensionFilterList for FILTER_EXT_SELECTIVE_SYNC.\n");
        return -1;
    }
    if (CompareSizeFilter(sess_id, db_info.black_size, file_info.black_size) != 0) {
        TW_ERROR(kComponent, "Failed to CompareSizeFilter.\n");
        return -1;
    }
    return 0;
}
