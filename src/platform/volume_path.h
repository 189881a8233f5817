// Which volume holds the package's databases: the daemon needs it for its
// own database, the control program to find the databases it reads.
#pragma once

#include "core/client_config.h"

namespace tide {

// Fills volume_path from the db-path file's "db-vol", else from the folder
// above the "homes" share. 0 when found, -1 when left empty.
int LoadVolumePath(ClientConfig& config);

}  // namespace tide
