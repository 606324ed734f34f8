#include <limits.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include <curl/curl.h>

#include "platform/ServiceSignals.h"
#include "platform/SystemdUnit.h"
#include "rest/uRest.h"
#include "service/InstallationCheck.h"
#include "service/uNorvaneSiTefService.h"

namespace {

bool has_switch(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (*arg == '/' || *arg == '-') ++arg;  // "/install" and "-install" as well
    if (strcasecmp(arg, name) == 0) return true;
  }
  return false;
}

std::string executable_path() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

int install(bool silent) {
  std::string error;
  if (!norvane::write_systemd_unit(TNorvaneSiTefService::kServiceName, executable_path(), error)) {
    std::fprintf(stderr, "Erro ao instalar o serviço: %s\n", error.c_str());
    return 1;
  }
  TNorvaneSiTefService::ServiceAfterInstall();
  if (!silent)
    std::printf("Serviço instalado com sucesso: %s\n"
                "O serviço roda como o usuário norvane, que precisa existir e ter as pastas Log,\n"
                "TEF e Certificado (o pacote norvane-tef-server faz isso; à mão, veja o README).\n"
                "Para iniciar: systemctl daemon-reload && systemctl enable --now %s\n",
                norvane::systemd_unit_path(TNorvaneSiTefService::kServiceName).c_str(),
                TNorvaneSiTefService::kServiceName);
  return 0;
}

int uninstall(bool silent) {
  std::string error;
  if (!norvane::remove_systemd_unit(TNorvaneSiTefService::kServiceName, error)) {
    std::fprintf(stderr, "Erro ao remover o serviço: %s\n", error.c_str());
    return 1;
  }
  if (!silent)
    std::printf("Serviço removido com sucesso.\n"
                "Se estava ativo: systemctl disable --now %s && systemctl daemon-reload\n",
                TNorvaneSiTefService::kServiceName);
  return 0;
}

// "CHECK [<callback-url>]": says what a start would find, and exits 0 (ready for real
// payments), 1 (runs, but something is unsafe or missing) or 2 (cannot start or pay).
int check(int argc, char** argv) {
  norvane::CheckOptions options;
  for (int i = 1; i + 1 < argc; ++i)
    if (strcasecmp(argv[i] + (*argv[i] == '/' || *argv[i] == '-' ? 1 : 0), "CHECK") == 0) options.callback_url = argv[i + 1];
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    std::fprintf(stderr, "Erro ao iniciar a biblioteca HTTP (libcurl).\n");
    return 2;
  }
  const int status = norvane::RunInstallationCheck(options);
  CloseKeptConnections();
  curl_global_cleanup();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Month names of the log folders follow the locale of the environment (LC_TIME). Number
  // text stays in the C locale: under a pt_BR system locale strtod and printf would switch
  // to a decimal comma, and every number this service reads or writes (JSON, INI, amounts)
  // has its separator fixed by its format, not by the workstation.
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");

  // Blocks of a megabyte and more (a large client message, its copies) are mapped on their
  // own and go back to the system when freed. Left to itself the allocator raises this
  // threshold after the first large block, and a large message's memory then stays
  // resident, fragmented in the heap, long after it was handled.
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);

  // Logs, payment backups and print files are for the service's user alone: whatever this
  // process (and the CliSiTef library inside it) creates gets no group or other rights, and
  // its folders the same.
  umask(S_IRWXG | S_IRWXO);

  const bool silent = has_switch(argc, argv, "SILENT");
  if (has_switch(argc, argv, "INSTALL")) return install(silent);
  if (has_switch(argc, argv, "UNINSTALL")) return uninstall(silent);
  if (has_switch(argc, argv, "CHECK")) return check(argc, argv);

  // Before any thread exists, so every thread inherits the mask and only the main loop
  // takes the control signals.
  norvane::block_service_signals();
  // libcurl's global set-up is not thread-safe: once, here, before any thread starts.
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    std::fprintf(stderr, "Erro ao iniciar a biblioteca HTTP (libcurl).\n");
    return 1;
  }
  struct CurlGlobal {
    ~CurlGlobal() {
      CloseKeptConnections();
      curl_global_cleanup();
    }
  } curl_global;

  TNorvaneSiTefService service;
  bool started = true;
  service.ServiceStart(started);
  if (!started) return 1;
  service.ServiceExecute();
  return 0;
}
