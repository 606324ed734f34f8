// The TEF configuration that every session start applies from its token, and "/initialize".
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <filesystem>
#include <system_error>

#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/IniFile.h"
#include "routing/JsonText.h"
#include "datamodule/ntDmSitef.h"
#include "platform/GravaLog.h"

using norvane::Json;

namespace {

// The payment network's TLS gateway that CliSiTef reaches when the token selects TLS.
const char* const kTlsGatewayHost = "tls-prod.fiservapp.com";

std::string tls_configuration_file() { return CliSiTefLibraryFolder() + "CONFITLS.INI"; }

// "ddmmyyyyhhnnss" of the local time now.
std::string control_folder_suffix() {
  const std::time_t now = std::chrono::system_clock::to_time_t(norvane::now());
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d%02d%04d%02d%02d%02d", local.tm_mday, local.tm_mon + 1,
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

}  // namespace

std::string CliSiTefControlFolder() {
  const char* root = std::getenv("NORVANE_CLISITEF_ROOT");
  std::string folder = root != nullptr && *root != '\0' ? root : "/var/lib/CliSiTef";
  if (folder.back() != '/') folder += '/';
  return folder + "NaoExcluirControleCliSiTef";
}

bool TDmSitef::ApplyTlsConfiguration(const TSessionTefClaims& claims) {
  if (!FTLSConnection) {
    RiZedIzAde.SetCNPJLoja("");
    RiZedIzAde.SetCNPJVantor("");
    std::error_code ignored;  // a missing file is what we want
    std::filesystem::remove(tls_configuration_file(), ignored);
    return false;
  }
  RiZedIzAde.SetCNPJLoja(claims.store_cnpj);
  RiZedIzAde.SetCNPJVantor(claims.tef_cnpj);

  norvane::TIniFile tls(tls_configuration_file());
  // The three keys below are all the file holds: one left unreadable (by a crash of an
  // earlier version's write) is made again rather than refused for ever.
  if (!tls.Snapshot().Problem().empty()) {
    std::error_code ignored;
    std::filesystem::remove(tls.FileName(), ignored);
  }
  bool changed = false;
  const std::string old_token = tls.ReadString("ConfiguracaoTLS", "TokenRegistro", "");
  if (old_token != claims.registration_token) {
    GravaLog("Alterou Token de Registro SiTef de \"" + old_token + "\" para \"" + claims.registration_token + "\"");
    changed = true;
  }
  std::error_code folder_error;
  std::filesystem::create_directories(CliSiTefLibraryFolder(), folder_error);
  if (!tls.WriteString("ConfiguracaoTLS", "TipoComunicacaoExterna", "TLSGWP") ||
      !tls.WriteString("ConfiguracaoTLS", "URLTLS", kTlsGatewayHost) ||
      !tls.WriteString("ConfiguracaoTLS", "TokenRegistro", claims.registration_token)) {
    throw std::runtime_error("Não foi possível gravar " + tls.FileName() + ".");
  }

  if (changed) {
    // A new registration needs a new control folder: the library makes one when the old
    // one has moved away.
    const std::string folder = CliSiTefControlFolder();
    try {
      if (std::filesystem::is_directory(folder)) {
        const std::string renamed = folder + "-" + control_folder_suffix();
        std::error_code rename_error;
        std::filesystem::rename(folder, renamed, rename_error);
        if (!rename_error) {
          GravaLog("Pasta de controle do SiTef renomeada para: " + renamed);
        } else {
          GravaLog("Não foi possível renomear a pasta de controle do sitef: " + folder + " (" +
                   rename_error.message() + "). Renomeie-a à mão antes da próxima venda.");
        }
      }
    } catch (const std::exception&) {
      GravaLog("Não foi possível renomear a pasta de controle do sitef: " + folder);
    }
  }
  return changed;
}

void TDmSitef::ApplyTefConfiguration(const TSessionTefClaims& claims, const norvane::TIniSnapshot& config) {
  bool changed = ApplyTlsConfiguration(claims);
  TRiZedIzAdeCliSiTef& manager = CliSiTefManager();
  const std::string address = norvane::to_windows1252(claims.ip_address);
  const std::string store = norvane::to_windows1252(claims.store_code);
  const std::string terminal = norvane::to_windows1252(claims.terminal_number);
  RiZedIzAde.SetModoServico(true);
  manager.SetModoServico(true);
  const std::string library = CliSiTefLibraryFile();
  manager.SetPathDLL(CliSiTefLibraryFolder());
  manager.SetNomeBiblioteca(library.substr(library.rfind('/') + 1));
  if (const std::string refusal = CliSiTefLibraryRefusal(); !refusal.empty()) throw std::runtime_error(refusal);
  if (manager.EnderecoIP() != address || manager.CodigoLoja() != store || manager.NumeroTerminal() != terminal)
    changed = true;
  manager.SetEnderecoIP(address);
  manager.SetCodigoLoja(store);
  manager.SetNumeroTerminal(terminal);
  std::vector<std::string> parameters;
  std::string line;
  for (const char c : norvane::to_windows1252(claims.additional_parameters) + "\n") {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) parameters.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  manager.SetParametrosAdicionais(parameters);
  manager.SetOperador(norvane::to_windows1252(claims.operator_name));
  if (!config.ReadBool("sitef", "qrcode_on_pinpad", false)) manager.SetRestricoes("{DevolveStringQRCode=1}");

  if (!RiZedIzAde.Inicializado(gpCliSiTef)) RiZedIzAde.Inicializar(gpCliSiTef);
  if (changed || !manager.Inicializado()) {
    SendSampleMsg("Inicializando TEF...");
    try {
      GravaLog("Inicializando CliSiTef...");
      RiZedIzAde.DesInicializar(gpNenhum);
      RiZedIzAde.Inicializar(gpCliSiTef);
      manager.DesInicializar();
      manager.Inicializar();
      FSettlementDue = true;
      GravaLog("CliSiTef inicializado.");
    } catch (...) {
      SendSampleMsg("");
      throw;
    }
    SendSampleMsg("");
  }
}

bool TDmSitef::TefConfigurationStands(const Json& claims, const std::string& terminal_number) {
  try {
    if (!RiZedIzAde.Inicializado(gpCliSiTef)) return false;
    const TRiZedIzAdeCliSiTef& manager = CliSiTefManager();
    if (!manager.Inicializado()) return false;
    const std::string connection_type = claims.contains("connection_type") ? GetJsonField(claims, "connection_type") : "";
    if (connection_type == "TLS") {
      // A new registration token moves the control folder away and initialises again.
      const norvane::TIniSnapshot tls = norvane::TIniFile(tls_configuration_file()).Snapshot();
      if (!tls.Problem().empty() ||
          tls.ReadString("ConfiguracaoTLS", "TokenRegistro", "") != GetJsonField(claims, "registration_token"))
        return false;
    }
    return manager.EnderecoIP() == norvane::to_windows1252(GetJsonField(claims, "ip_address")) &&
           manager.CodigoLoja() == norvane::to_windows1252(GetJsonField(claims, "store_code")) &&
           manager.NumeroTerminal() == norvane::to_windows1252(terminal_number);
  } catch (const std::exception&) {
    return false;  // the usual path reads the claims again and answers what is wrong
  }
}

void TDmSitef::InitializeSiTef(const std::string& pContent, TSession*) {
  norvane::JsonParseResult storage;
  if (GetJsonField(MessageValue(pContent, storage), "type") != "initialize") {
    SendClientMessage(BuildErrorReply("Campo type diferente de initialize."));
    return;
  }
  try {
    if (!RiZedIzAde.Inicializado(gpCliSiTef)) RiZedIzAde.Inicializar(gpCliSiTef);
    Json reply = Json::object();
    reply["type"] = "initialize";
    reply["message"] = "Inicializado com sucesso.";
    SendClientMessage(norvane::write_json(reply));
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(std::string("Erro ao conectar com servidor TEF: ") + error.what()));
  }
}
