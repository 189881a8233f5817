// The user database as another process reads it: every user home and
// shared folder row, without the daemon's lock file or cache.
#pragma once

#include <vector>

#include "core/read_only_db.h"
#include "core/user_manager.h"

namespace tide {

// Every row of user_table, shared folders with their plain name (without
// the stored "@"). The count, or -1 (db.Error() says why).
int ReadUserDbViews(ReadOnlyDb& db, std::vector<UserInfo>* views);

}  // namespace tide
