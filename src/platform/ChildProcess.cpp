#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <system_error>

extern char** environ;

namespace norvane {

namespace {

// Children that did not end even after being killed (stuck in the kernel). They are
// reaped at the next start of a program, so they do not stay as zombies.
std::mutex unreaped_lock;
std::vector<pid_t> unreaped;

void reap_leftovers() {
  std::lock_guard<std::mutex> lock(unreaped_lock);
  std::erase_if(unreaped, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 0;
}

struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
};

}  // namespace

TChildProcess::TChildProcess(const std::vector<std::string>& AArgs,
                             const std::string& AStderrPath) {
  reap_leftovers();
  if (AArgs.empty()) throw std::system_error(EINVAL, std::generic_category());
  SpawnSetup setup;
  posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&setup.actions, 2,
                                   AStderrPath.empty() ? "/dev/null" : AStderrPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  // Sockets and files of the service stay with the service.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
  // The service blocks its control signals in every thread; the child must not inherit
  // that, or it could not be stopped the ordinary way.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGPIPE, SIGCHLD}) sigaddset(&defaults, s);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  for (const std::string& arg : AArgs) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const int error =
      posix_spawn(&FPid, argv[0], &setup.actions, &setup.attributes, argv.data(), environ);
  if (error != 0) throw std::system_error(error, std::generic_category());
  FPidFd = static_cast<int>(syscall(SYS_pidfd_open, FPid, 0));
  if (FPidFd < 0) {
    const int why = errno;
    Terminate();
    waitpid(FPid, nullptr, 0);
    FReaped = true;
    throw std::system_error(why, std::generic_category());
  }
}

TChildProcess::~TChildProcess() {
  if (!FReaped) {
    Terminate();
    if (waitpid(FPid, nullptr, WNOHANG) == 0) {
      std::lock_guard<std::mutex> lock(unreaped_lock);
      unreaped.push_back(FPid);
    }
  }
  if (FPidFd >= 0) close(FPidFd);
}

TChildProcess::TWaitResult TChildProcess::WaitFor(std::chrono::milliseconds ATimeout,
                                                  int& AExitCode) {
  AExitCode = 0;
  if (FReaped) throw std::system_error(ECHILD, std::generic_category());
  const auto deadline = std::chrono::steady_clock::now() + ATimeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{FPidFd, POLLIN, 0};
    const int n = poll(&ready, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category());
    if (n == 0) return TWaitResult::TimedOut;
    int status = 0;
    pid_t done;
    do done = waitpid(FPid, &status, 0);
    while (done < 0 && errno == EINTR);
    if (done != FPid) throw std::system_error(errno, std::generic_category());
    FReaped = true;
    AExitCode = exit_code_of(status);
    return TWaitResult::Finished;
  }
}

void TChildProcess::Terminate() {
  if (!FReaped) kill(FPid, SIGKILL);
}

}  // namespace norvane
