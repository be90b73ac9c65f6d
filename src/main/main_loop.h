// The main loop: the control FIFO and the one-second tick.
#pragma once

constexpr const char* kControlFifoPath = "/var/kelvatro/maincontrol";

int main_loop();
int main_tick();
