// The NTP daemon as it is: its process, beside what it answers to one client
// query (sntp/daemon_query.h), so that orvctl tells what the daemon does and
// not only what the unit asked of it.
#pragma once

#include "sntp/daemon_query.h"

#include <string>

// The process of ntpd or chronyd: its pid file (under the sandbox root when
// sandboxed), else, on the unit, a process of that name. 0 when none runs;
// `name` then stays empty.
int daemon_process(std::string& name);
