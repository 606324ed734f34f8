// "/pinpad/status" and "/version": checks a sales application makes before a payment.
#include <exception>
#include <stdexcept>

#include "platform/ExeFolder.h"
#include "platform/FileVersion.h"
#include "routing/JsonText.h"
#include "datamodule/ntDmSitef.h"
#include "platform/GravaLog.h"
#include "platform/Text.h"
#include "tef/RiZedIzAdeTef.h"

using norvane::Json;

namespace {

const char* const kVersaoNaoEncontrada = "Versão não encontrada";

std::string installed_version(const std::string& path) {
  const auto version = norvane::read_file_version(path);
  return version ? norvane::format_file_version(*version) : kVersaoNaoEncontrada;
}

void write_update_key(norvane::TIniFile& config, bool written) {
  if (!written) throw std::runtime_error("Não foi possível gravar a atualização em " + config.FileName() + ".");
}

// The offered version and address go into the configuration file that an updater trusts,
// from a route that needs no session: they are checked before anything is written.
constexpr size_t kMaxDownloadUrl = 2048;

bool is_version_text(const std::string& text) {
  size_t numbers = 0, pos = 0;
  while (numbers < 4) {
    size_t digits = 0;
    unsigned long value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 6) {
      value = value * 10 + static_cast<unsigned long>(text[pos] - '0');
      ++pos, ++digits;
    }
    if (digits == 0 || digits > 5 || value > 0xFFFF) return false;
    if (++numbers < 4) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
  }
  return pos == text.size();
}

bool is_download_url(const std::string& text) {
  if (text.size() > kMaxDownloadUrl) return false;
  const std::string lower = norvane::lower_ascii(text);
  const size_t scheme = lower.rfind("https://", 0) == 0 ? 8 : lower.rfind("http://", 0) == 0 ? 7 : 0;
  if (scheme == 0 || text.size() == scheme) return false;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte >= 0x7F) return false;  // blanks, control characters, raw non-ASCII
  }
  return true;
}

}  // namespace

void TDmSitef::CheckFileVersion(const std::string& pContent, TSession*) {
  norvane::JsonParseResult storage;
  const Json& message = MessageValue(pContent, storage);
  if (GetJsonField(message, "type") != "version") {
    SendClientMessage(BuildErrorReply("Campo type diferente de version."));
    return;
  }
  try {
    const std::string category = GetJsonField(message, "category");
    if (category != "service_exe" && category != "clisitef_dll") {
      SendClientMessage(BuildErrorReply("Categoria inválida. Valores permitidos [service_exe, clisitef_dll]"));
      return;
    }
    // The library's file in the folder it is loaded from (also before any session set it).
    const std::string file = category == "clisitef_dll" ? CliSiTefLibraryFile()
                                                        : norvane::exe_folder() + norvane::exe_base_name();
    const std::string version = installed_version(file);

    bool updating = false;
    if (message.contains("version") && message.contains("download_url")) {
      GravaLog("Validando versão..");
      const std::string offered = GetJsonField(message, "version");
      const std::string download_url = GetJsonField(message, "download_url");
      if (!is_version_text(offered))
        throw std::runtime_error("version inválida: são esperados quatro números (até 65535) separados por ponto.");
      if (!is_download_url(download_url))
        throw std::runtime_error("download_url inválida: é esperado um endereço http:// ou https:// de até " +
                                 std::to_string(kMaxDownloadUrl) + " caracteres, sem espaços nem caracteres de controle.");
      const norvane::FileVersion current = norvane::parse_version_numbers(version);
      const norvane::FileVersion candidate = norvane::parse_version_numbers(offered);
      norvane::TIniFile config = ServiceConfig();
      // Only the major and the build number decide: the build number counts every release.
      if (candidate[0] < current[0] || candidate[3] <= current[3]) {
        GravaLog("Nenhuma versão nova encontrada, versão atual: " + version);
        write_update_key(config, config.WriteBool("sitef", "need_update", false));
        write_update_key(config, config.WriteString("sitef", "download_url", ""));
        write_update_key(config, config.WriteString("sitef", "version", ""));
      } else {
        GravaLog("Nova versão encontrada: " + offered);
        write_update_key(config, config.WriteBool("sitef", "need_update", true));
        write_update_key(config, config.WriteString("sitef", "download_url", download_url));
        write_update_key(config, config.WriteString("sitef", "version", offered));
        updating = true;
      }
    }

    Json reply = Json::object();
    reply["type"] = "version";
    reply["category"] = category;
    reply["version"] = version;
    reply["updating"] = updating;
    reply["pdv_number"] = FitText(std::to_string(ServiceConfig().ReadInteger("sitef", "pdv_number", 0)), 2);
    SendClientMessage(norvane::write_json(reply));
  } catch (const std::exception& error) {
    GravaLog(std::string("Erro ao verificar versão: ") + error.what());
    SendClientMessage(BuildErrorReply(std::string("Erro ao verificar versão: ") + error.what()));
  }
}

void TDmSitef::CheckPinpad(const std::string& pContent, TSession*) {
  norvane::JsonParseResult storage;
  if (GetJsonField(MessageValue(pContent, storage), "type") != "status") {
    SendClientMessage(BuildErrorReply("Campo type diferente de pinpad."));
    return;
  }
  // The pin-pad belongs to the running operation, if any: no answer then.
  bool idle = false;
  if (!fProcessando.compare_exchange_strong(idle, true)) return;
  try {
    if (!RiZedIzAde.Inicializado(gpCliSiTef)) RiZedIzAde.Inicializar(gpCliSiTef);
    const std::string state = CliSiTefManager().VerificarPresencaPinPad();
    Json reply = Json::object();
    reply["type"] = "status";
    if (state == "Nenhum PINPAD conectado...") {
      reply["status"] = "disconnected";
      reply["message"] = "Nenhum PinPad conectado";
    } else if (state == "PINPAD conectado com sucesso...") {
      reply["status"] = "connected";
      reply["message"] = "PinPad conectado";
    } else if (state == "Erro na DLL ou arquivo .INI do PINPAD") {
      reply["status"] = "error";
      reply["message"] = "Erro na dll ou arquivo de configuração do PinPad";
    } else {
      reply["status"] = "";
      reply["message"] = "";
    }
    SendClientMessage(norvane::write_json(reply));
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(std::string("Erro ao verificar pinpad: ") + error.what()));
  }
  fProcessando = false;
}
