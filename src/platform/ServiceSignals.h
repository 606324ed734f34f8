#pragma once
#include <string>

namespace norvane {

// The service's control requests arrive as signals: SIGTERM and SIGINT stop it, SIGUSR1
// pauses and SIGUSR2 continues. They are blocked in every thread (call this before any
// thread starts, so threads inherit the mask) and taken one at a time by the main loop,
// which sleeps in the kernel until one comes. SIGPIPE is ignored: a client that goes away
// while being written to is an error of that write, not the end of the process.
void block_service_signals();

// Waits for the next control signal and returns its number.
int wait_for_service_signal();

// Tells systemd (Type=notify) that the service is up, with a one-line status that
// "systemctl status" shows. Does nothing when the process was not started by systemd.
void notify_service_ready(const std::string& status);

}  // namespace norvane
