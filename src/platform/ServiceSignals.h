#pragma once

namespace norvane {

// The service's control requests arrive as signals: SIGTERM and SIGINT stop it, SIGUSR1
// pauses and SIGUSR2 continues. They are blocked in every thread (call this before any
// thread starts, so threads inherit the mask) and taken one at a time by the main loop,
// which sleeps in the kernel until one comes. SIGPIPE is ignored: a client that goes away
// while being written to is an error of that write, not the end of the process.
void block_service_signals();

// Waits for the next control signal and returns its number.
int wait_for_service_signal();

}  // namespace norvane
