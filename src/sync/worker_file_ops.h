// The workers' own file operations: they carry a file's attribute
// companions ("@eaDir/<name>@VarnEAStream", "@eaDir/<name>@VarnResource")
// along with it, honour the worker's abort flag in long operations, and
// tell the indexing service about added directories.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>

namespace tide {

constexpr const char* EA_STREAM_NAME = "VarnEAStream";
constexpr const char* EA_RESOURCE_NAME = "VarnResource";

// Removes the file and its companions. A missing file is success. 0 or -1.
int RemoveFile(const std::string& path);

// Copies the contents of `source` onto `destination`, giving up when
// *abort_flag is set (checked before every piece). 0 or -1; after -1 errno
// says why (ENOSPC: disk full; ECANCELED: aborted).
int CopyFile(const std::string& source, const std::string& destination, const std::atomic<int>* abort_flag);

// Creates `path` and every missing parent; each directory made is given to
// uid/gid and, when `notify` is set, announced to the indexing service.
// An existing path is success. 0 or -1.
int CreateDirectory(const std::string& path, uid_t uid, gid_t gid, bool notify);

// Renames `source` to `destination` together with its companions. 0 or -1.
int MoveFile(const std::string& source, const std::string& destination);

// Takes the directory out of its place at once by parking it in a fresh
// folder under `parking_dir`, then deletes the parked tree (giving up when
// *abort_flag is set). 0 once the directory has left its place, else -1.
int RemoveDirectory(const std::string& path, const std::string& parking_dir, const std::atomic<int>* abort_flag);

// Deletes everything inside `path` depth first, without following links;
// `path` itself stays. 0, or -1 after a failure or an abort.
int RemoveTreeContents(const std::string& path, const std::atomic<int>* abort_flag);

}  // namespace tide
