// Moving a local object out of the way under a name that says why, e.g.
// /share/a/report.txt -> /share/a/report_ADMIN_Dec-06-1641-2026_Conflict.txt.
// A conflict name never replaces anything: when every candidate is taken the
// rename fails and the object stays where it is. A file with other hard
// links is kept as a copy of its own, so that writes through those names
// leave the conflict copy as it was.
#pragma once

#include <ctime>
#include <string>

#include "fs/view_dir.h"

namespace tide {

// Candidate names tried after the plain one: "_1" to "_99".
constexpr int CONFLICT_MAX_NUMBER = 99;

// Renames `relative` below `view` to <stem>_<label>_<time>_<reason><extension>,
// numbered when taken; the name chosen goes to `chosen` when asked. 0,
// FS_LINK_REFUSED, or another negative ViewDir::Rename result (logged).
int ConflictRename(const ViewDir& view, const std::string& relative, const std::string& label,
                   const std::string& reason, std::string* chosen = nullptr);

// Moves `source_relative` below `source` (another folder on the view's file
// system) into `view` under a conflict name of `relative`, chosen as
// ConflictRename chooses it (the name chosen to `chosen` when asked). Its
// result codes are ConflictRename's.
int ConflictRenameInto(const ViewDir& source, const std::string& source_relative, const ViewDir& view,
                       const std::string& relative, const std::string& label, const std::string& reason,
                       std::string* chosen = nullptr);

// Renames `relative` to `new_name` with blanks trimmed at both ends, in the
// same directory; when that is taken, to the trimmed name with
// "_<label>_<time>_WhiteSpaceConflict" added. 0, or the Rename result.
int WhiteSpaceConflictRename(const ViewDir& view, const std::string& relative, const std::string& new_name,
                             const std::string& label);

// The candidate for `path` with `suffix` and number `n` (0 = none): the
// suffix and number go before the extension, which starts at the last "."
// after the last "/" or "\".
std::string ConflictCandidate(const std::string& path, const std::string& suffix, int n);

// True when `name` (one path component) has the form of a conflict copy's
// name; `original` then gets the name it was kept beside.
bool ParseConflictName(const std::string& name, std::string* original);

// "%b-%d-%H%M-%Y" of `when` in local time.
std::string ConflictTime(time_t when);

// Tests fix the clock the names are made from; 0 restores the real one.
void SetConflictClockForTest(time_t when);

}  // namespace tide
