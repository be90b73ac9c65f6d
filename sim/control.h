// The sim control: the FIFO $ORV_ROOT/sim/control, read by a thread of its own,
// one sim world command a line; and the start file applied before the unit runs.
#pragma once

#include <string>

// The directory of the start file and the control FIFO; $ORV_ROOT/sim unless set.
void sim_control_set_dir(std::string dir);
// Applies $ORV_ROOT/sim/start when present.
void sim_apply_start_file();
// Makes the control FIFO and starts its reader thread; 0 or -1.
int sim_control_start();
// Stops the reader thread and removes the FIFO.
void sim_control_stop();
