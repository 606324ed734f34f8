// "/print": a PDF or a receipt layout arrives as base64 text, is written to a file in the
// service folder and handed to the print queue, which prints and deletes it later.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "platform/Base64.h"
#include "platform/ExeFolder.h"
#include "platform/IniFile.h"
#include "platform/Text.h"
#include "printing/ntPrintQueue.h"
#include "routing/JsonText.h"
#include "datamodule/ntDmSitef.h"
#include "platform/GravaLog.h"

namespace {

namespace fs = std::filesystem;

bool has_content(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) > ' ') return true;
  return false;
}

std::string system_message(int error) { return std::strerror(error); }

// An open print file that is removed unless it is kept: a document that could not be
// written whole is never left behind, to be printed cut short or to lie there for ever.
class PrintFile {
 public:
  // Creates a new file "<number>_Temp.<type>" in the service folder. The name is drawn at
  // random and taken only if no file has it, so a document still waiting in the queue is
  // never overwritten by the next request.
  explicit PrintFile(const std::string& file_type) {
    thread_local std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> number(0, 9999998);
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = norvane::exe_folder() + std::to_string(number(random)) + "_Temp." + file_type;
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) throw std::runtime_error(system_message(errno));
  }
  ~PrintFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!kept_) ::unlink(path_.c_str());
  }
  PrintFile(const PrintFile&) = delete;
  PrintFile& operator=(const PrintFile&) = delete;

  bool Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error_ = n < 0 ? errno : ENOSPC;
        return false;
      }
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
  // Closes the file; false when the last of it could not be written.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
      error_ = errno;
      return false;
    }
    return true;
  }
  void Keep() { kept_ = true; }
  const std::string& Path() const { return path_; }
  std::string Error() const { return error_ ? system_message(error_) : "Base64 inválido."; }

 private:
  std::string path_;
  int fd_ = -1;
  int error_ = 0;
  bool kept_ = false;
};

}  // namespace

void TDmSitef::Print(const std::string& pContent, TSession* pSession) {
  (void)pSession;  // "/print" needs no session
  norvane::JsonParseResult storage;
  const norvane::Json* parsed = ParsedMessage(pContent, storage);
  if (!parsed || !parsed->is_object()) throw std::runtime_error("Mensagem inválida.");
  const norvane::Json& message = *parsed;

  try {
    if (GetJsonField(message, "type") != "print") {
      SendClientMessage(BuildErrorReply("Campo type diferente de print."));
      return;
    }
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(error.what()));
    return;
  }

  // The document is the bulk of the message: a string is read in place, never copied.
  std::string data_text;
  std::string_view data;
  try {
    const auto member = message.find("data");
    if (FRoutedPrintData && FRoutedText == &pContent) {
      data = *FRoutedPrintData;  // left in the received text by the router
    } else if (member != message.end() && member->is_string()) {
      data = member->get_ref<const std::string&>();
    } else {
      data_text = GetJsonField(message, "data");  // raises the missing-member error
      data = data_text;
    }
    if (!has_content(data)) {
      SendClientMessage(BuildErrorReply("Campo \"data\" não foi preenchido."));
      return;
    }
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(error.what()));
    return;
  }

  try {
    const std::string file_type = GetJsonField(message, "file_type");
    if (file_type == "pdf" || file_type == "gdi")
      PrintData(file_type, data);
    else
      SendClientMessage(BuildErrorReply("Tipo do arquivo inválido. Valor permitido [pdf,gdi]"));
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(std::string("Erro ao imprimir: ") + error.what()));
  }
}

void TDmSitef::PrintData(const std::string& pFileType, std::string_view pData) {
  const norvane::TIniFile ini = ServiceConfig();
  // The queue prints on the printer named at service start; the setting is read again
  // here so that a request is refused at once when there is none.
  if (norvane::trim(ini.ReadString("sitef", "printer", "")).empty()) {
    SendClientMessage(BuildErrorReply("Impressora não definida."));
    return;
  }
  if (pFileType == "pdf") {
    std::error_code ec;
    if (!fs::exists(norvane::exe_folder() + "SumatraPDF.exe", ec)) {
      SendClientMessage(BuildErrorReply("SumatraPDF não localizado."));
      return;
    }
    if (!fs::exists(norvane::exe_folder() + "libmupdf.dll", ec)) {
      SendClientMessage(BuildErrorReply("libmupdf.dll não localizado."));
      return;
    }
  }

  // Anything up to and including the first comma is a data-URL prefix.
  std::string_view base64(pData);
  const size_t comma = base64.find(',');
  if (comma != std::string_view::npos) base64.remove_prefix(comma + 1);

  std::string written;  // the file's path once it holds the whole document
  std::string failure;
  try {
    // Checked while it is decoded: a text found broken on the way takes its file with it.
    PrintFile file(pFileType);
    size_t size = 0;
    const bool whole = norvane::TBase64Blocks::Decode(
        base64, [&](std::string_view bytes) { return file.Write(bytes); }, size);
    if (!whole || !file.Close()) {
      failure = file.Error();
    } else if (size > 0) {  // an empty document is not kept
      file.Keep();
      written = file.Path();
    }
  } catch (const std::exception& error) {
    failure = error.what();
  }
  if (!failure.empty()) {
    const std::string text = "Erro na conversão do arquivo: " + failure;
    GravaLog(text);
    SendClientMessage(BuildErrorReply(text));
  }

  if (written.empty()) {
    SendClientMessage(BuildErrorReply("Arquivo convertido não localizado."));
    return;
  }
  // AddToQueue only appends under the queue's lock, so holding this one is brief.
  std::lock_guard<std::mutex> lock(FPrintQueueLock);
  if (!FPrintQueue) {
    ::unlink(written.c_str());
    throw std::runtime_error("Fila de impressão não iniciada.");
  }
  FPrintQueue->SetPrintSettings("noscale");
  FPrintQueue->AddToQueue(written);
}
