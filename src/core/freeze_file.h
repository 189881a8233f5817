// The disk-full freeze file: the views whose work stopped because the disk
// filled up, as a list of view ids other processes can read. Workers add to
// it and consult it; nothing in the daemon removes entries.
//
// Inside the process s_mutex (in the .cpp) orders the threads; between
// processes each operation holds an exclusive flock on the open file.
#pragma once

#include <cstdint>
#include <string>

namespace tide {

constexpr const char* FREEZE_FILE_PATH = "/tmp/tdwl_diskfull_freeze_2";

// False when the file is missing or unreadable.
bool IsViewFrozen(uint64_t view_id);
// Appends the view id unless the file already lists it.
void FreezeView(uint64_t view_id);

// Tests point the freeze file elsewhere; empty restores the default.
void SetFreezeFilePathForTest(const std::string& path);

}  // namespace tide
