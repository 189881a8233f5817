// The steps both change detectors take once a change is tied to a view:
// the working directory of a volume, the hard-link test of a creation, the
// needless-event checks against the local database, the attribute-companion
// redirection, the split of a rename into a removal and an upload, and the
// withdrawal of a view whose folder vanished. Each detector logs them under
// its own module tag, passed as `tag`.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "event/event.h"

namespace tide {

constexpr const char* USER_DB_HANDLER_SOCKET = "/tmp/user_db_handler_sock";

// Creates `dir` (an existing one is fine): 0, or -1 after logging.
int MakeDetectorDirectory(const char* tag, const std::string& dir);

// The daemon's work folder on the volume of `path`
// (<volume_prefix>N/@tmp/<work_dir_name>), made root's and 0700 with its
// parent: 0 and its path in *work_dir, or -1 after logging (a path on no
// volume, a mkdir failure, a work folder that is a link).
int MakeWorkingDirectory(const char* tag, const std::string& path, const std::string& volume_prefix,
                         std::string* work_dir);

// For a creation of something other than a directory at `absolute`: true
// when it is a second name of a regular file (a hard link has no close to
// wait for), false when the close will report it or it is gone.
bool IsHardLinkCreation(const char* tag, const std::string& absolute);

// True when an UPLOAD_LOCAL or REMOVE_REMOTE of the view watched at
// `view_path` needs no work: the file's size and mtime are those the local
// database holds, or the deleted path was never synchronised.
bool IsNeedlessEvent(const char* tag, const Event& event, const std::string& view_path);

// Finds the folder a view is watched at; false (after logging) when unknown.
using ViewPathLookup = std::function<bool(uint64_t view_id, std::string* view_path)>;

// An event on an attribute companion ("<dir>/@eaDir/<name>@VarnEAStream" or
// "@VarnResource") becomes an upload of its master file "<dir>/<name>",
// when that exists.
void RedirectCompanion(const char* tag, Event* event, const ViewPathLookup& view_path);

// Queues an event: redirects companions and splits a RENAME_REMOTE into a
// removal of the old path followed by an upload of the new one.
void PushWithRenameSplit(const char* tag, Event event, const ViewPathLookup& view_path,
                         const std::function<void(const Event&)>& deliver);

// Hands a finished event to the event manager (EXPAND and RESCAN_* through
// its expand and rescan entries).
void DeliverToEventManager(const Event& event);

// Withdraws a view whose folder disappeared: tells the user-database handler
// at `handler_socket`, then has `forget` drop the view (registry, catch-up
// entry, local records). 0, or -1 when the view is unknown or the handler
// could not be told (the view then stays registered).
int WithdrawView(const char* tag, uint64_t view_id, const std::string& handler_socket,
                 const std::function<void(uint64_t)>& forget);

}  // namespace tide
