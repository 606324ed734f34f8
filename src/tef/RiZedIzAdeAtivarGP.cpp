// Starting the standard manager's program.
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "tef/RiZedIzAdeClass.h"

extern char** environ;

void TRiZedIzAdeClass::AtivarGP() {
  if (fGPExeName.empty())
    throw ERiZedIzAdeErro("Nome do executável do Gerenciador Padrão não definido");
  VerificaInicializado();
  // Started through the shell in the background, so the program outlives this call and
  // is not left as a child of ours.
  std::string quoted = "'";
  for (char c : fGPExeName) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  const std::string command = quoted + " >/dev/null 2>&1 &";
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) ==
      0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  fDono.RestaurarFocoAplicacao();
}
