#include "platform/ServiceSignals.h"

#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <cerrno>

namespace norvane {
namespace {

sigset_t service_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  return set;
}

}  // namespace

void block_service_signals() {
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t set = service_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int wait_for_service_signal() {
  sigset_t set = service_signals();
  int signal_number = 0;
  while (sigwait(&set, &signal_number) != 0) {
  }
  return signal_number;
}

void notify_service_ready(const std::string& status) {
  // A status line is one line: systemd reads the message as KEY=value lines.
  std::string line = status;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  sd_notify(0, ("READY=1\nSTATUS=" + line).c_str());
}

}  // namespace norvane
