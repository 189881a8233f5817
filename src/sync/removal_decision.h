// Whether a server deletion may delete the local object, or must keep it
// (under a conflict name) because it changed since the last
// synchronisation. Nothing that differs from what the database recorded is
// ever deleted.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "db/node_record.h"
#include "fs/file_info.h"
#include "fs/view_dir.h"

namespace tide {

class NativeClientDb;

enum RemovalDecision {
  REMOVAL_DELETE = 0,
  REMOVAL_KEEP = 1,
};

// The decision for one object from its record (node id 0: none) and its
// local information (`local.m_exists` true):
//
//   record      local object                          decision
//   none        directory                             delete
//   none        anything else                         keep
//   file        regular file, same mtime and size     delete
//   file        regular file, mtime or size differ    keep
//   file        not a regular file                    keep
//   directory   directory                             delete
//   directory   not a directory                       keep
//
// `path` names the object in the log lines of the "keep" answers.
RemovalDecision DecideRemoval(const NodeRecord& record, const FileInfo& local, const std::string& path);

// True when the directory `dir_path` of `view` holds
// anything the database does not record as it is: a file or directory the
// database does not know, a file whose mtime or size differ, an object
// whose kind changed. What the database knows but the disk no longer holds
// does not count. Deleting such a directory would lose local work. An
// abort counts as changed (the caller retries later).
bool LocalSubtreeChanged(NativeClientDb& db, const ViewDir& view, const std::string& dir_path, uint64_t view_id,
                         const std::atomic<int>* abort_flag, int task_id);

}  // namespace tide
