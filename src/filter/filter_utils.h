// Comparison of a session's selective-sync filters in its filter files with
// those recorded in the filter database. New and stricter filters are
// recorded; removed and loosened ones are removed or updated and leave a
// resume condition (recorded in the database and added to the progress
// cache) from which the server content that the old filter held back is
// fetched later.
#pragma once

#include <cstdint>
#include <set>

#include "base/ustring.h"
#include "filter/filter.h"
#include "filter/white_list.h"
#include "store/filter_info.h"
#include "store/resume_condition.h"

// A removed size limit is recorded in the filter database as this value,
// and a recorded limit of this value reads as "no limit".
constexpr uint64_t kSizeFilterNoLimit = 10737418240ULL;  // 10 GiB
// The upper bound of a resume condition whose new limit is "no limit": any
// size, so that held-back files above 10 GiB are fetched too.
constexpr uint64_t kResumeSizeNoLimit = UINT64_MAX;

// Fills black_prefix, black_name, black_ext and black_size of `ss_info` from a
// parsed black list, every entry stamped with `sync_id`. The size is written
// as an unsigned decimal number, "0" when there is no limit. Result 0.
int ConvertFilterFileToSelectiveSyncInfo(uint64_t sync_id, const Filter& filter, SelectiveSyncInfo& ss_info);
// Fills white_ext of `ss_info` from a parsed white list. Result 0.
int ConvertWhiteFilterFileToSelectiveSyncInfo(uint64_t sync_id, const WhiteList& white_filter,
                                              SelectiveSyncInfo& ss_info);

// Brings one black-list set of the database (`db_set`) in line with the
// filter files (`file_set`) for the filter type -13, -14 or -12. 0, or -1 at
// the first failing database operation (nothing is rolled back).
int CompareFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo>& db_set,
                      const std::set<FilterInfo>& file_set);
// The same for a white-list set (type -12).
int CompareWhiteFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo>& db_set,
                           const std::set<FilterInfo>& file_set);
// The extension filters of both lists, with the rules for the white-list
// entry "*" (every extension). 0 or -1.
int CompareExtensionFilterList(uint64_t sess_id, const SelectiveSyncInfo& ss_db_info,
                               const SelectiveSyncInfo& ss_file_info);
// The size limit. 0 or -1.
int CompareSizeFilter(uint64_t sess_id, const FilterInfo& db_finfo, const FilterInfo& file_finfo);

// "from=<smaller>,to=<larger>". Result 0.
int EncodeResumeSizeFilterDesc(uint64_t from, uint64_t to, ustring& out);
// Reads "from=<n>,to=<m>" (text after m is ignored): 0, or -1 with the bounds
// unchanged when `desc` does not have that form.
int DecodeResumeSizeFilterDesc(const ustring& desc, uint64_t& lower_bound, uint64_t& upper_bound);
