#pragma once
// The stand-in standard manager run as a child process: started on a scratch folder, waited
// for on its "ready" line, stopped with SIGTERM and reaped when the object goes.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace gp_test {

class GpSimProcess {
 public:
  GpSimProcess(const std::string& folder, const std::string& scenario, int delay_ms = 3000) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string delay = std::to_string(delay_ms);
    std::vector<const char*> argv{GP_SIM_PATH, folder.c_str(), "--scenario", scenario.c_str(),
                                  "--delay-ms", delay.c_str(), nullptr};
    const int rc = ::posix_spawn(&pid_, GP_SIM_PATH, &actions, nullptr,
                                 const_cast<char* const*>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
      ::close(out[0]);
      throw std::runtime_error("gp-sim could not be started");
    }
    // Blocks until gp-sim has set its watches and says so (or ends, closing the pipe).
    std::string said;
    char c;
    while (said.find('\n') == std::string::npos) {
      const ssize_t n = ::read(out[0], &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      said += c;
    }
    ::close(out[0]);
    if (said != "ready\n") {
      Stop();
      throw std::runtime_error("gp-sim did not start: " + said);
    }
  }
  GpSimProcess(const GpSimProcess&) = delete;
  GpSimProcess& operator=(const GpSimProcess&) = delete;
  ~GpSimProcess() { Stop(); }

  // Ends the program and returns its exit status (as waitpid gives it), -1 when not running.
  int Stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace gp_test
