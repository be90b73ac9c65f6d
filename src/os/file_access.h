// Who may use the files that the unit shares with other local programs (the
// settings and status files, the control FIFO): everyone by default; only the
// group that the deployment setting ORV_GROUP names (e.g. the web server's)
// when it names one; root alone when it names no group.
#pragma once

#include "os/atomic_file.h"

#include <string>

// Files that only the unit and the system's daemons use (ntp.conf, dhcpcd.conf,
// their SD copies and their copies under /etc): root's, read by all, whatever
// ORV_GROUP says.
constexpr FileAccess kDaemonFileAccess{0644, 0};

// Settings and status files: 0666, 0660 in the ORV_GROUP group, or 0644 in
// root's group when ORV_GROUP names no group.
FileAccess shared_file_access();
// Files that only the unit writes and the web front end reads (the state file,
// the status log): 0640 in the ORV_GROUP group, else 0644 (in root's group when
// ORV_GROUP names no group).
FileAccess published_file_access();
// The control FIFO, written by others and read by the unit only: 0622, 0620
// in the ORV_GROUP group, or 0600 in root's group when ORV_GROUP names no
// group.
FileAccess control_fifo_access();
// The name that ORV_GROUP gives when no group of that name exists, else empty.
std::string unknown_shared_group();
// A regular file that only the unit and the daemons use, brought back to root's
// kDaemonFileAccess. 1 when it had another owner, group or mode, 0 when it had
// not (or is no regular file of one name), -1 when it could not be changed
// (printed on the console). Its old mode in *old_mode.
int restrict_daemon_file(const char* path, mode_t* old_mode);
// With ORV_GROUP set, a regular file is given to root with the access of the
// shared files; unset, it is left as it is. Neither a symbolic link nor a file
// with a second name elsewhere is followed. A failure is printed on the
// console.
void restrict_shared_file(const char* path);
