#include "datamodule/ntDmSitef.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#include "datamodule/SalesCallback.h"
#include "platform/ElfSection.h"
#include "platform/Metrics.h"
#include "platform/ExeFolder.h"
#include "platform/Installation.h"
#include "platform/Text.h"

TDmSitef* DmSitef = nullptr;

norvane::TIniFile ServiceConfig() {
  return norvane::TIniFile(norvane::exe_folder() + norvane::exe_base_name() + ".ini");
}

namespace {

std::string configured_library() {
  return norvane::trim(ServiceConfig().ReadString("sitef", "clisitef_library", ""));
}

}  // namespace

std::string CliSiTefLibraryFile() {
  const std::string configured = configured_library();
  return norvane::service_path(configured.empty() ? kDefaultCliSiTefLibrary : configured);
}

bool CliSiTefLibraryConfigured() { return !configured_library().empty(); }

std::string CliSiTefLibraryFolder() {
  const std::string file = CliSiTefLibraryFile();
  return file.substr(0, file.rfind('/') + 1);
}

std::string CliSiTefLibraryRefusal() {
  if (CliSiTefLibraryConfigured() || !norvane::installed_by_package(norvane::kServerPackage) ||
      norvane::installed_by_package(norvane::kSimulatorPackage))
    return {};
  const std::string file = CliSiTefLibraryFile();
  if (!norvane::is_stand_in_library(file)) return {};
  return file + " é o simulador da CliSiTef, e o pacote " + norvane::kSimulatorPackage +
         " não está instalado: nenhum pagamento será feito com ele. Instale a biblioteca CliSiTef da "
         "Software Express e aponte [sitef] clisitef_library para ela.";
}

namespace {

// The end-to-end tests shorten the service's long waits through these variables; nothing
// else sets them.
std::chrono::milliseconds test_duration(const char* variable, std::chrono::milliseconds normal) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0') return normal;
  char* end = nullptr;
  const long long millis = std::strtoll(value, &end, 10);
  return *end == '\0' && millis > 0 ? std::chrono::milliseconds(millis) : normal;
}

}  // namespace

TDmSitef::TDmSitef() {
  // The one manager this system uses; it becomes current when gpCliSiTef is selected.
  RiZedIzAde.AddManager(std::make_unique<TRiZedIzAdeCliSiTef>(RiZedIzAde));
  WireTefEvents();
  FClientAnswerTimeout = test_duration("NORVANE_TEST_ANSWER_TIMEOUT_MS", FClientAnswerTimeout);
  const std::chrono::milliseconds callback_timeout =
      test_duration("NORVANE_TEST_CALLBACK_TIMEOUT_MS", TRestOptions().Timeout);
  FExecuteRequest = [callback_timeout](TRESTRequestMethod method, const std::string& url,
                                       const TArrayParamRequest& params, const std::string& body) {
    TRestOptions options;
    options.VerifyTLS = ServiceConfig().ReadBool("sitef", "callback_verify_tls", true);
    options.ExtraCAFile = norvane::exe_folder() + "Certificado/ca_cert.pem";
    options.Timeout = callback_timeout;
    // Every request here is a payment's report: counted by how the back-end answered.
    std::unique_ptr<TRESTResponse> response;
    try {
      response = ExecuteRequest(method, url, params, body, options);
    } catch (...) {
      norvane::metrics::CountReport(norvane::metrics::ReportAnswer::NoAnswer);
      throw;
    }
    norvane::metrics::CountReport(ReadCallbackAnswer(*response).Accepted ? norvane::metrics::ReportAnswer::Accepted
                                                                         : norvane::metrics::ReportAnswer::Refused);
    return response;
  };
}

TDmSitef::~TDmSitef() { StopSettler(); }

TResultStore& TDmSitef::Results() {
  // The operation thread and the settler both reach it.
  std::call_once(FResultsFileOnce, [this] {
    std::string folder = RiZedIzAde.PathBackup();
    if (!folder.empty() && folder.back() != '/') folder += '/';
    std::error_code ignored;  // a folder that cannot be made is said when the file is written
    std::filesystem::create_directories(folder, ignored);
    FResults.SetFile(folder + "results.json");
  });
  return FResults;
}

TRiZedIzAdeCliSiTef& TDmSitef::CliSiTefManager() const { return *RiZedIzAde.TEFCliSiTef(); }

bool TDmSitef::ConfirmTefTransaction(bool confirm, const std::string& document) {
  return RiZedIzAde.ConfirmarTransacao(confirm, document);
}

void TDmSitef::SendClientMessage(const std::string& pMsg) {
  // Our writer puts `type` first, so a result message is known by its start.
  static const std::string kResultStart = R"({"type":"result")";
  if (FKeepingResult && pMsg.compare(0, kResultStart.size(), kResultStart) == 0) FLastResult = pMsg;
  if (TClientChannel* channel = FClientChannel.load()) channel->SendClientMessage(pMsg);
}

// Runs on the operation thread once the operation of the client that went away has ended
// (its dialogue saw the client gone and cancelled it), never while the component is in use.
void TDmSitef::ClientDisconnected() {
  TLibraryTurn turn(*this);
  RiZedIzAde.CancelarTransacoesPendentes();
}
