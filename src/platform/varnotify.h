// The volume-wide notification calls, built on fanotify filesystem marks
// with directory-handle-plus-name reports: one mark covers a whole file
// system, so a large share needs no watch per directory and can never run
// out of them.
//
// A descriptor from VarnotifyInit is pollable; VarnotifyRead turns what the
// kernel queued into the records of platform/varnotify_record.h: absolute
// paths with inotify mask bits, the two halves of a rename carrying one
// cookie. Where the kernel reports renames whole (FAN_RENAME) both halves
// come from one report; on older kernels a move-from is paired with a
// move-to that directly follows it.
//
// The watch calls come in a 32-bit and a 64-bit mask form; callers try the
// 32-bit one and fall back on ENOSYS or EOPNOTSUPP. Both are answered here.
// The detector reaches all of them through a VarnotifyCalls table, so that
// tests can put a double in their place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tide {

// Closes after writing, moves in both directions, creations, deletions.
constexpr uint32_t VARN_WATCH_MASK = 0x3C8;

// Init flag: the two halves of a move come as separate kernel events, as on
// kernels before whole-rename reports, even where the kernel has them
// (tests of the pairing).
constexpr int VARN_INIT_SEPARATE_MOVES = 0x100;

// A descriptor (0 or more), or -1 with errno: ENOSYS when the kernel lacks
// the notification interface, EPERM without the privilege it needs.
int VarnotifyInit(int flags);
// Watches the whole file system that holds `path`. Several watches on one
// file system share its kernel mark, which goes with the last of them.
// 0, or -1 with errno.
int VarnotifyAddWatch32(int fd, const char* path, uint32_t mask);
int VarnotifyRemoveWatch32(int fd, const char* path, uint32_t mask);
// The same with the mask as a 64-bit value; bits above the low 32 are
// refused (EINVAL).
int VarnotifyAddWatch64(int fd, const char* path, uint64_t mask);
int VarnotifyRemoveWatch64(int fd, const char* path, uint64_t mask);
// Fills `buffer` with whole records: the bytes written; -1 with EAGAIN
// when nothing is queued, EINVAL when `size` cannot hold one record of the
// longest path, or the read error. Never blocks.
long VarnotifyRead(int fd, char* buffer, size_t size);
// Closes the descriptor and forgets its watches.
int VarnotifyClose(int fd);

// The calls as a table, so that the detector can be given another one.
struct VarnotifyCalls {
  int (*m_init)(int flags);
  int (*m_add_watch64)(int fd, const char* path, uint64_t mask);
  int (*m_remove_watch64)(int fd, const char* path, uint64_t mask);
  int (*m_add_watch32)(int fd, const char* path, uint32_t mask);
  int (*m_remove_watch32)(int fd, const char* path, uint32_t mask);
  long (*m_read)(int fd, char* buffer, size_t size);
  int (*m_close)(int fd);
};

const VarnotifyCalls& SystemVarnotifyCalls();

}  // namespace tide
