// File lists of what the local database holds below a directory of a view:
// the database side of a rescan's comparison with the disk. Rows read before
// a database error stay in the list; errors are logged only.
#pragma once

#include <cstdint>
#include <string>

namespace tide {

class FileList;
class NativeClientDb;

// Every row below the directory, paths relative to it ("/x/y").
void BuildFileList(NativeClientDb& db, uint64_t view_id, const std::string& dir_path, FileList* list);
// The directory's direct children, as bare names.
void BuildFileListOneLevel(NativeClientDb& db, uint64_t view_id, const std::string& dir_path, FileList* list);
// The same, limited to rows with sync_id <= max_sync_id.
void BuildFileListOneLevelUpTo(NativeClientDb& db, uint64_t view_id, const std::string& dir_path, uint64_t max_sync_id,
                               FileList* list);

}  // namespace tide
