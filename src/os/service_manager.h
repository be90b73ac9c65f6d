// What the unit tells the service manager that started it (systemd's notify
// protocol): that a pass serves, that its ticks run (the watchdog's ping) and
// that a command may hold up the ticks for longer. Without a manager that
// listens (no NOTIFY_SOCKET: the sandbox, the tests, a start by hand) nothing
// is sent.
#pragma once

// The pass serves its control FIFO ("Main Program Ready").
void service_ready();
// A tick has run: the watchdog's ping, sent by the main thread alone, so that
// a tick that never ends stops the pings.
void service_alive();
// The next ping may come as late as `seconds` from now (an update's scripts,
// which run for minutes, before the program ends).
void service_allow_seconds(unsigned seconds);
