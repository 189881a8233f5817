// The process-wide black-list filter. Every operation takes the filter's
// mutex for its whole duration, except IsFilteredEAName, whose callers hold
// it (LockFilter/UnlockFilter) around a whole metadata conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "filter/filter_config.h"

namespace tide {

// Back to the default rules (nothing filtered).
int InitFilter();
int ResetFilter();
// Replaces the rules with those of the file at `path`. 0, or -1 (and no
// rules at all) when the file is missing, malformed, or has unknown keys
// without declaring version 1.1 or later.
int LoadFilter(const std::string& path);
// Writes the current rules to `path`. 0 or -1.
int SaveFilter(const std::string& path);

// 0 (allowed) or a FilterCode.
int IsFilteredFile(const std::string& path, size_t path_length, uint64_t size);
int IsFilteredDir(const std::string& path, size_t path_length);
// Caller holds LockFilter().
int IsFilteredEAName(const std::string& name);

void LockFilter();
void UnlockFilter();

// A copy of the current rules; and replacing them (tests, tools).
FilterConfig GetFilterConfig();
void SetFilterConfig(const FilterConfig& config);

}  // namespace tide
