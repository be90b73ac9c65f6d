// Who may use the files that the unit shares with other local programs (the
// settings and status files, the control FIFO): everyone by default; only the
// group that the deployment setting ORV_GROUP names (e.g. the web server's)
// when it names one.
#pragma once

#include "os/atomic_file.h"

#include <string>

// Settings and status files: 0666, or 0660 in the ORV_GROUP group.
FileAccess shared_file_access();
// The control FIFO, written by others and read by the unit only: 0622, or 0620
// in the ORV_GROUP group.
FileAccess control_fifo_access();
// The name that ORV_GROUP gives when no group of that name exists (the default
// modes then apply), else empty.
std::string unknown_shared_group();
