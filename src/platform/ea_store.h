// Stand-in for the appliance's extended-attribute store.
//
// A file's Finder information and extended attributes live in its
// "VarnEAStream" companion (see VARNEAPath), an ordinary AppleDouble file
// that keeps the attributes in the "ATTR" section of its Finder-information
// entry, the layout Mac OS X writes itself (platform/apple_double.h). So a
// companion made by a Mac can be read here, and ours can be read elsewhere.
//
// Use: VARNEAOpen gives a descriptor on the companion, VARNEASOpen reads it
// into a stream handle, the handle's operations work in memory, and
// VARNEASFlush writes the whole companion back. A handle belongs to one
// thread; the store keeps no shared state.
//
// Failures return -1 (or a null pointer) with errno set; callers log.
// The store itself does not log: its callers report failures in their own
// words.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/apple_double.h"

namespace tide {

// A growable list of strings.
struct VarnSzList {
  std::vector<std::string> m_items;
};

// An empty list with room for `capacity` strings; free with VLIBCSzListFree.
VarnSzList* VLIBCSzListAlloc(int capacity);
void VLIBCSzListFree(VarnSzList* list);
size_t VLIBCSzListCount(const VarnSzList* list);
// The string at `index`, or a null pointer past the end.
const char* VLIBCSzListGet(const VarnSzList* list, size_t index);

// Opens the companion file at `path` for reading and writing, creating it
// (empty, mode 0666 under the umask) when missing. A descriptor, or -1.
int VARNEAOpen(int kind, const char* path);

// With this flag an empty companion (as VARNEAOpen creates it) opens as a
// stream without attributes; otherwise it must already be an AppleDouble
// file.
constexpr int VARN_EAS_CREATE = 1;

struct VarnEAStream;

// Reads the companion behind `fd` (which stays the caller's to close, after
// VARNEASClose). A handle, or nullptr: errno EINVAL when the file is not a
// sound AppleDouble file, ENODATA when it is empty and VARN_EAS_CREATE was
// not given.
VarnEAStream* VARNEASOpen(int fd, int flags);

// Appends the attribute names to `list` in their stored order. Their count.
int VARNEASEnum(VarnEAStream* stream, VarnSzList* list);

// Reads the value of `name` into `data`. With `data` null (or `length` 0)
// only the value's size is returned. The size copied, or -1: ENODATA for an
// unknown name, ERANGE when `length` is too small. `position` must be 0;
// `options` is accepted and ignored (there are no links inside a stream).
ssize_t VARNEASRead(VarnEAStream* stream, const char* name, void* data, size_t length, uint32_t position,
                    int options);

// Sets `name` to the `length` bytes at `data`, adding it after the others
// when new. `length`, or -1: EINVAL for an empty name or a position other
// than 0, ENAMETOOLONG for a name over 254 bytes, E2BIG when the companion
// would outgrow the format's 32-bit offsets.
ssize_t VARNEASWrite(VarnEAStream* stream, const char* name, const void* data, size_t length, uint32_t position,
                     int options);

// 0, or -1 with ENODATA when there is no such attribute.
int VARNEASRemove(VarnEAStream* stream, const char* name);

// Writes the companion back when anything changed: header, Finder
// information, attributes, then the companion's own resource fork as it
// was. A companion without attributes is written in the 82-byte form (plus
// its resource fork). 0 or -1.
int VARNEASFlush(VarnEAStream* stream);

// Frees the handle without writing; unflushed changes are dropped. 0.
int VARNEASClose(VarnEAStream* stream);

// The 32 bytes of Finder information the stream holds.
int VARNEASGetFinderInfo(VarnEAStream* stream, FinderInfo* info);
int VARNEASSetFinderInfo(VarnEAStream* stream, const FinderInfo& info);

}  // namespace tide
