// The simulated unit's own eth0: its hardware address and its link, as the sim
// world holds them, behind the unit's network-probe seam; the host's
// interfaces are never asked.
#pragma once

// Puts the simulated eth0 behind the seam.
void sim_eth0_install();
