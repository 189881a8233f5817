// Comparing what the disk holds (a local file list) with what the database
// records (an indexed file list) and turning every difference into the
// event that reconciles it.
//
//   situation                              merge mode        sync mode
//   only on disk                           UPLOAD_LOCAL      UPLOAD_LOCAL     (dir bit of the entry)
//   only in the database                   DOWNLOAD_REMOTE   REMOVE_REMOTE    (dir bit of the entry)
//   both files, mtime or size differ       UPLOAD_LOCAL      UPLOAD_LOCAL     (no flags)
//   both, one a file, the other a dir      DOWNLOAD_REMOTE   UPLOAD_LOCAL     (conflict flag)
//   both, otherwise                        nothing           nothing
//
// Merge mode trusts the server for what is missing on disk (start-up over
// an existing database); sync mode trusts the disk (the disk changed while
// nobody watched). Every event made here carries EVENT_FLAG_RESERVED8, so
// a download made by a rescan is not mistaken for a stale server event.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "event/event.h"

namespace tide {

class FileList;

// Where two list paths ("/a/b", "" for the root) stand in the lists'
// iteration order: negative when `a` comes first, 0 when equal, positive
// when `b` comes first. Names of one directory come in descending byte
// order, a directory's contents before the directory itself.
int FileListOrder(std::string_view a, std::string_view b);

// Walks both lists in step and hands every reconciling event (path =
// `prefix` + entry path, flags already tagged) to `sink`. 0, or -1 when the
// abort flag stopped it early.
int CompareFileLists(const FileList& local, const FileList& indexed, const std::string& prefix, bool merge,
                     uint64_t view_id, const std::atomic<int>* abort_flag,
                     const std::function<void(const Event&)>& sink);

// The prefix to put before list paths of the directory `dir_path`: the
// path itself, or nothing for the view root.
inline std::string ListPrefix(const std::string& dir_path) { return dir_path == "/" ? std::string() : dir_path; }

}  // namespace tide
