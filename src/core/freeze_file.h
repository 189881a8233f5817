// The disk-full freeze file: the views whose work stopped because the disk
// filled up, as a list of view ids other processes can read. Workers add to
// it and consult it; nothing in the daemon removes entries.
//
// Inside the process s_mutex (in the .cpp) orders the threads; between
// processes each operation holds an exclusive flock on the open file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

namespace tide {

constexpr const char* FREEZE_FILE_PATH = "/tmp/tdwl_diskfull_freeze_2";

// What the freeze file looked like at one moment. The package lifts a
// freeze by emptying or removing the file, so a file that looks different
// now was written or lifted since.
struct FreezeFileState {
  bool m_exists = false;
  dev_t m_dev = 0;
  ino_t m_ino = 0;
  off_t m_size = 0;
  timespec m_mtime{};
  timespec m_ctime{};

  bool operator==(const FreezeFileState& other) const;
  bool operator!=(const FreezeFileState& other) const { return !(*this == other); }
};

// False when the file is missing or unreadable. With `seen`, also reports
// the file's state as it was read (under the lock).
bool IsViewFrozen(uint64_t view_id, FreezeFileState* seen = nullptr);
// Appends the view id unless the file already lists it.
void FreezeView(uint64_t view_id);
// For a worker whose copy met a full disk: freezes the view unless the file
// changed since `seen` (taken before the work began) and does not list the
// view. Such a change means the freeze was lifted, or another view frozen,
// after this worker's copy had started: its failure may predate the space
// that is back now, and freezing on it would stop the view for good (the
// package lifts a freeze once, when space returns). The caller then tries
// again instead. True when the view is frozen on return.
bool FreezeViewUnlessChanged(uint64_t view_id, const FreezeFileState& seen);

// Tests point the freeze file elsewhere; empty restores the default.
void SetFreezeFilePathForTest(const std::string& path);

}  // namespace tide
