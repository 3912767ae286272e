#include "filter/filter_utils.h"

#include <string>
#include <utility>

#include "base/logger.h"
#include "store/filter_db.h"
#include "store/progress_cache.h"

namespace {

constexpr const char* kLog = "filter_utils_debug";
const ustring kPassAll("*");

using ull = unsigned long long;

// Records a resume condition and adds it to the progress cache: 0, or -1
// when the database refused it (the caller logs).
int record_resume(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring& desc) {
    ResumeCondition condition;
    condition.sess_id = sess_id;
    condition.sync_id = sync_id;
    condition.filter_type = filter_type;
    condition.filter_desc = desc;
    uint64_t row_id = 0;
    if (FilterDB::getInstance().setResumeCondition(condition, row_id) != 0) return -1;
    ProgressCache::getInstance().addProgressEntry(row_id, condition);
    return 0;
}

void fill_set(std::set<FilterInfo>& out, uint64_t sync_id, const value_type_string_set& entries) {
    out.clear();
    for (size_t i = 0; i < entries.used; ++i) {
        FilterInfo info;
        info.sync_id = sync_id;
        info.filter_desc = entries.set[i];
        out.insert(info);
    }
}

// Leading decimal digits, saturating; text that is not a number reads as 0.
uint64_t size_value(const ustring& desc) {
    uint64_t v = 0;
    for (size_t i = 0; i < desc.length() && desc[i] >= '0' && desc[i] <= '9'; ++i) {
        uint64_t d = static_cast<uint64_t>(desc[i] - '0');
        if (v > (UINT64_MAX - d) / 10) return UINT64_MAX;
        v = v * 10 + d;
    }
    return v;
}

// Reads digits at `pos` into `out`; false without digits or on overflow.
bool read_u64(const std::string& s, size_t& pos, uint64_t& out) {
    size_t start = pos;
    uint64_t v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        uint64_t d = static_cast<uint64_t>(s[pos] - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
        ++pos;
    }
    out = v;
    return pos > start;
}

bool has_pass_all(const std::set<FilterInfo>& set) {
    FilterInfo probe;
    probe.filter_desc = kPassAll;
    return set.count(probe) != 0;
}

}  // namespace

int ConvertFilterFileToSelectiveSyncInfo(uint64_t sync_id, const Filter& filter, SelectiveSyncInfo& ss_info) {
    fill_set(ss_info.black_prefix, sync_id, filter.common.black_path_prefix_selective_sync);
    fill_set(ss_info.black_name, sync_id, filter.file.black_name_selective_sync);
    fill_set(ss_info.black_ext, sync_id, filter.file.black_ext_selective_sync);
    ss_info.black_size.sync_id = sync_id;
    ss_info.black_size.filter_desc = std::to_string(static_cast<uint64_t>(filter.file.max_size_selective_sync));
    return 0;
}

int ConvertWhiteFilterFileToSelectiveSyncInfo(uint64_t sync_id, const WhiteList& white_filter,
                                              SelectiveSyncInfo& ss_info) {
    fill_set(ss_info.white_ext, sync_id, white_filter.file.white_ext);
    return 0;
}

int CompareFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo>& db_set,
                      const std::set<FilterInfo>& file_set) {
    FilterDB& db = FilterDB::getInstance();
    auto d = db_set.begin();
    auto f = file_set.begin();
    while (d != db_set.end() || f != file_set.end()) {
        if (d != db_set.end() && f != file_set.end() && d->filter_desc == f->filter_desc) {
            TW_INFO(kLog, "filter: (%llu)[%s] didn't change, skipping...\n", (ull)sess_id, d->filter_desc.c_str());
            ++d;
            ++f;
        } else if (f == file_set.end() || (d != db_set.end() && d->filter_desc < f->filter_desc)) {
            // Removed from the filter files: what it held back is to be fetched.
            const char* desc = d->filter_desc.c_str();
            if (record_resume(sess_id, d->sync_id, filter_type, d->filter_desc) != 0) {
                TW_ERROR(kLog, "Failed to setResumeCondition (%llu)[%s].\n", (ull)sess_id, desc);
                return -1;
            }
            if (db.rmFilter(sess_id, filter_type, d->filter_desc) != 0) {
                TW_ERROR(kLog, "Failed to rmFilter (%llu)[%s].\n", (ull)sess_id, desc);
                return -1;
            }
            TW_INFO(kLog, "RESUME filter: (%llu)[%s].\n", (ull)sess_id, desc);
            ++d;
        } else {
            // New in the filter files. Path prefixes are recorded at sync id 0,
            // so that a later removal fetches everything below them.
            uint64_t sync_id = filter_type == FILTER_TYPE_PREFIX ? 0 : f->sync_id;
            if (db.setFilter(sess_id, sync_id, filter_type, f->filter_desc) != 0) {
                TW_ERROR(kLog, "Failed to setFilter (%llu)[%s].\n", (ull)sess_id, f->filter_desc.c_str());
                return -1;
            }
            TW_INFO(kLog, "NEW filter: (%llu)[%s].\n", (ull)sess_id, f->filter_desc.c_str());
            ++f;
        }
    }
    return 0;
}

int CompareWhiteFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo>& db_set,
                           const std::set<FilterInfo>& file_set) {
    FilterDB& db = FilterDB::getInstance();
    auto d = db_set.begin();
    auto f = file_set.begin();
    while (d != db_set.end() || f != file_set.end()) {
        if (d != db_set.end() && f != file_set.end() && d->filter_desc == f->filter_desc) {
            TW_INFO(kLog, "white filter: (%llu)[%s] didn't change, skipping...\n", (ull)sess_id,
                    d->filter_desc.c_str());
            ++d;
            ++f;
        } else if (f == file_set.end() || (d != db_set.end() && d->filter_desc < f->filter_desc)) {
            // No longer let in: stricter, nothing to fetch.
            if (db.rmWhiteListFilter(sess_id, filter_type, d->filter_desc) != 0) {
                TW_ERROR(kLog, "Failed to rmWhiteListFilter (%llu)[%s].\n", (ull)sess_id, d->filter_desc.c_str());
                return -1;
            }
            TW_INFO(kLog, "remove white list filter: (%llu)[%s].\n", (ull)sess_id, d->filter_desc.c_str());
            ++d;
        } else {
            // Newly let in: everything of that extension is to be fetched.
            if (db.setWhiteListFilter(sess_id, f->sync_id, filter_type, f->filter_desc) != 0) {
                TW_ERROR(kLog, "Failed to setWhiteListFilter (%llu)[%s].\n", (ull)sess_id, f->filter_desc.c_str());
                return -1;
            }
            if (record_resume(sess_id, 0, filter_type, f->filter_desc) != 0) {
                TW_ERROR(kLog, "Failed to setResumeCondition (%llu)[%s].\n", (ull)sess_id, f->filter_desc.c_str());
                return -1;
            }
            ++f;
        }
    }
    return 0;
}

int CompareExtensionFilterList(uint64_t sess_id, const SelectiveSyncInfo& ss_db_info,
                               const SelectiveSyncInfo& ss_file_info) {
    FilterDB& db = FilterDB::getInstance();
    bool old_pass_all = has_pass_all(ss_db_info.white_ext);
    bool new_pass_all = has_pass_all(ss_file_info.white_ext);

    auto compare_black = [&] {
        if (CompareFilterList(sess_id, FILTER_TYPE_EXT, ss_db_info.black_ext, ss_file_info.black_ext) != 0) {
            TW_ERROR(kLog, "Failed to CompareFilterList for FILTER_EXT_SELECTIVE_SYNC.\n");
            return -1;
        }
        return 0;
    };

    if (old_pass_all == new_pass_all) {
        if (CompareWhiteFilterList(sess_id, FILTER_TYPE_EXT, ss_db_info.white_ext, ss_file_info.white_ext) != 0) {
            TW_ERROR(kLog, "Failed to CompareWhiteFilterList for FILTER_EXT_SELECTIVE_SYNC.\n");
            return -1;
        }
        return compare_black();
    }

    if (old_pass_all) {
        // Narrowed from every extension to a list: stricter.
        if (db.rmWhiteListFilter(sess_id, FILTER_TYPE_EXT, kPassAll) != 0) {
            TW_ERROR(kLog, "Failed to rmWhiteListFilter '*' (%llu).\n", (ull)sess_id);
            return -1;
        }
        for (const FilterInfo& e : ss_file_info.white_ext) {
            if (db.setWhiteListFilter(sess_id, e.sync_id, FILTER_TYPE_EXT, e.filter_desc) != 0) {
                TW_ERROR(kLog, "Failed to setWhiteListFilter (%llu)[%s].\n", (ull)sess_id, e.filter_desc.c_str());
                return -1;
            }
            TW_INFO(kLog, "NEW filter: (%llu)[%s].\n", (ull)sess_id, e.filter_desc.c_str());
        }
        return compare_black();
    }

    // Widened to every extension: everything is to be fetched.
    for (const FilterInfo& e : ss_db_info.white_ext) {
        if (db.rmWhiteListFilter(sess_id, FILTER_TYPE_EXT, e.filter_desc) != 0) {
            TW_ERROR(kLog, "Failed to rmWhiteListFilter (%llu)[%s].\n", (ull)sess_id, e.filter_desc.c_str());
            return -1;
        }
        TW_INFO(kLog, "remove white list filter: (%llu)[%s].\n", (ull)sess_id, e.filter_desc.c_str());
    }
    if (db.setWhiteListFilter(sess_id, 0, FILTER_TYPE_EXT, kPassAll) != 0) {
        TW_ERROR(kLog, "Failed to setWhiteListFilter '*' (%llu).\n", (ull)sess_id);
        return -1;
    }
    if (compare_black() != 0) return -1;
    if (record_resume(sess_id, 0, FILTER_TYPE_EXT, kPassAll) != 0) {
        TW_ERROR(kLog, "Failed to setResumeCondition '*' (%llu).\n", (ull)sess_id);
        return -1;
    }
    return 0;
}

int CompareSizeFilter(uint64_t sess_id, const FilterInfo& db_finfo, const FilterInfo& file_finfo) {
    FilterDB& db = FilterDB::getInstance();
    uint64_t db_size_filter = size_value(db_finfo.filter_desc);
    uint64_t file_size_filter = size_value(file_finfo.filter_desc);

    if (db_size_filter == 0 && db_finfo.sync_id == 0) {
        if (file_size_filter != 0 && db.setSizeFilter(sess_id, file_finfo.sync_id, file_size_filter) != 0) {
            TW_ERROR(kLog, "Failed to setSizeFilter (%llu)[%llu]\n", (ull)sess_id, (ull)file_size_filter);
            return -1;
        }
        TW_INFO(kLog, "NEW filter (%llu)[%s]\n", (ull)sess_id, file_finfo.filter_desc.c_str());
        return 0;
    }

    // A removed limit is recorded as kSizeFilterNoLimit; a file that still has
    // no limit is no change, or every comparison would resume again.
    bool still_no_limit = file_size_filter == 0 && db_size_filter == kSizeFilterNoLimit;
    if (db_size_filter == file_size_filter || still_no_limit) {
        TW_INFO(kLog, "size filter (%llu)[%s] didn't change, skipping...\n", (ull)sess_id,
                db_finfo.filter_desc.c_str());
        return 0;
    }

    // From no limit (a removed one) to any limit is stricter.
    bool db_no_limit = db_size_filter == kSizeFilterNoLimit;
    if (file_size_filter != 0 && (db_no_limit || file_size_filter < db_size_filter)) {
        if (db.updateSizeFilter(sess_id, db_size_filter, file_size_filter) != 0) {
            TW_ERROR(kLog, "Failed to updateSizeFilter (%llu)[%s]\n", (ull)sess_id, file_finfo.filter_desc.c_str());
            return -1;
        }
        TW_INFO(kLog, "size filter is more stringent, just update DB (%llu)from %llu to %llu. \n", (ull)sess_id,
                (ull)db_size_filter, (ull)file_size_filter);
        return 0;
    }

    uint64_t to = file_size_filter != 0 ? file_size_filter : kSizeFilterNoLimit;
    ustring desc;
    EncodeResumeSizeFilterDesc(db_size_filter, file_size_filter != 0 ? file_size_filter : kResumeSizeNoLimit, desc);
    if (record_resume(sess_id, db_finfo.sync_id, FILTER_TYPE_SIZE, desc) != 0) {
        TW_ERROR(kLog, "Failed to setResumeCondition (%llu)[%s]\n", (ull)sess_id, desc.c_str());
        return -1;
    }
    if (db.updateSizeFilter(sess_id, db_size_filter, to) != 0) {
        TW_ERROR(kLog, "Failed to updateSizeFilter (%llu)from [%llu] to [%llu].\n", (ull)sess_id, (ull)db_size_filter,
                 (ull)to);
        return -1;
    }
    TW_INFO(kLog, "size filter is more loosely, update DB and resume (%llu)[%s].\n", (ull)sess_id, desc.c_str());
    return 0;
}

int EncodeResumeSizeFilterDesc(uint64_t from, uint64_t to, ustring& out) {
    uint64_t lower = from < to ? from : to;
    uint64_t upper = from < to ? to : from;
    out = "from=" + std::to_string(lower) + ",to=" + std::to_string(upper);
    return 0;
}

int DecodeResumeSizeFilterDesc(const ustring& desc, uint64_t& lower_bound, uint64_t& upper_bound) {
    const std::string s = desc.str();
    static const std::string kFrom = "from=";
    static const std::string kTo = ",to=";
    if (s.compare(0, kFrom.size(), kFrom) != 0) return -1;
    size_t pos = kFrom.size();
    uint64_t lower = 0, upper = 0;
    if (!read_u64(s, pos, lower)) return -1;
    if (s.compare(pos, kTo.size(), kTo) != 0) return -1;
    pos += kTo.size();
    if (!read_u64(s, pos, upper)) return -1;
    lower_bound = lower;
    upper_bound = upper;
    return 0;
}
