// What both syncers do with one event of the server's change stream: turn
// it into a local event, and tell a server echo (a change the local
// database already holds) from a change still to carry out.
#pragma once

#include "event/event.h"
#include "proto/messages.h"

namespace tide {

class NativeClientDb;

// REMOVE_LOCAL for a deletion, else DOWNLOAD_REMOTE; path, view, node and
// sync ids, size and hash copied; EVENT_FLAG_DIR for a directory.
Event LocalEventOf(const NServerEvent& server_event);

enum ServerEcho {
  SERVER_EVENT_NEW = 0,        // to be pushed (also when the look-up failed)
  SERVER_ECHO_UP_TO_DATE = 1,  // the record already has this version or a newer one
  SERVER_ECHO_UNKNOWN = 2,     // a deletion of something never recorded
};

// Looks the event's record up by node id, or by view and path when the
// node id is 0, and says whether the event is an echo.
ServerEcho CheckServerEcho(NativeClientDb& db, const Event& event);

}  // namespace tide
