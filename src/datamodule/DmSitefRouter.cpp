#include <exception>

#include "routing/JsonText.h"
#include "datamodule/ntDmSitef.h"
#include "platform/IniFile.h"

namespace {

// From this size on a message is most likely a document to print, and its base64 is left
// where it arrived instead of being copied into the tree (see Print).
constexpr std::size_t kLargeMessage = 64 * 1024;

bool is_print_request(const norvane::Json& message) {
  const auto route = message.find("route");
  return route != message.end() && route->is_string() && route->get_ref<const std::string&>() == "/print";
}

}  // namespace

const norvane::Json* TDmSitef::ParsedMessage(const std::string& pContent,
                                             norvane::JsonParseResult& storage) const {
  if (FRoutedMessage != nullptr && FRoutedText == &pContent) return FRoutedMessage;
  storage = norvane::parse_json_text(pContent);
  return storage.status == norvane::JsonParseStatus::Ok ? &storage.value : nullptr;
}

const norvane::Json& TDmSitef::MessageValue(const std::string& pContent, norvane::JsonParseResult& storage) const {
  if (const norvane::Json* parsed = ParsedMessage(pContent, storage)) return *parsed;
  storage.value = norvane::Json();
  return storage.value;
}

bool TDmSitef::RouteQuickly(const std::string& pContent) {
  if (pContent.size() >= kLargeMessage) return false;  // a document to print
  norvane::JsonParseResult parsed = norvane::parse_json_text(pContent);
  if (parsed.status == norvane::JsonParseStatus::Ok && parsed.value.is_object()) {
    std::string route;
    try {
      route = GetJsonField(parsed.value, "route");
    } catch (const std::exception&) {
      // No route: the router's answer is an error reply.
    }
    // These use the library, wait on the client or write a document.
    if (route == "/transaction" || route == "/transaction/cancel" || route == "/initialize" ||
        route == "/pinpad/status" || route == "/print")
      return false;
  }
  // The settler settling a left payment is waited for on the operation thread, not here.
  TLibraryTurn turn(*this, std::try_to_lock);
  if (!turn.Held()) return false;
  // These routes read the service's INI through several helpers; one look at each file on
  // disk serves them all.
  const norvane::TIniReadPass one_read;
  return Route(pContent, &parsed, false);
}

void TDmSitef::RouteTargeting(const std::string& pContent, norvane::JsonParseResult* parsed_already) {
  Route(pContent, parsed_already, true);
}

bool TDmSitef::Route(const std::string& pContent, norvane::JsonParseResult* parsed_already, bool may_initialise) {
  norvane::JsonParseResult parsed;
  std::optional<std::string_view> print_data;
  if (pContent.size() >= kLargeMessage) {
    auto viewed = norvane::parse_json_viewing_member(pContent, "data");
    if (viewed && is_print_request(viewed->message)) {
      parsed.status = norvane::JsonParseStatus::Ok;
      parsed.value = std::move(viewed->message);
      print_data = viewed->member;
    }
  }
  if (!print_data) parsed = parsed_already ? std::move(*parsed_already) : norvane::parse_json_text(pContent);
  if (parsed.status == norvane::JsonParseStatus::NotJson) return true;  // not JSON: no answer at all
  if (parsed.status == norvane::JsonParseStatus::Refused || !parsed.value.is_object()) {
    SendClientMessage(BuildErrorReply(kMensagemInvalida));
    return true;
  }
  const norvane::Json& message = parsed.value;
  // A message served while an operation runs is routed inside that operation's route: the
  // outer message is put back afterwards.
  struct RoutedMessage {
    TDmSitef& dm;
    const std::string* outer_text;
    const norvane::Json* outer_message;
    std::optional<std::string_view> outer_print_data;
    RoutedMessage(TDmSitef& d, const std::string& text, const norvane::Json& value,
                  std::optional<std::string_view> print_data)
        : dm(d), outer_text(d.FRoutedText), outer_message(d.FRoutedMessage),
          outer_print_data(d.FRoutedPrintData) {
      dm.FRoutedText = &text;
      dm.FRoutedMessage = &value;
      dm.FRoutedPrintData = print_data;
    }
    ~RoutedMessage() {
      dm.FRoutedText = outer_text;
      dm.FRoutedMessage = outer_message;
      dm.FRoutedPrintData = outer_print_data;
    }
  } routed(*this, pContent, message, print_data);
  // A message waits here while the settler settles a left payment in the library (a
  // library call, never a report), and the settler waits for the message's operation.
  TLibraryTurn turn(*this);

  try {
    const std::string route = GetJsonField(message, "route");

    if (route == "/session/start") {
      try {
        return CreateSession(pContent, may_initialise);
      } catch (const std::exception&) {
        // CreateSession answers its own failures; what still escapes it gets a fixed text.
        SendClientMessage(BuildErrorReply("Dados de sessão inválidos."));
      }
      return true;
    }

    std::shared_ptr<TSession> session;
    if (route != "/version" && route != "/print") {
      // A "confirmation" answer may arrive after the session has expired mid-payment.
      const bool needs_session = !(route == "/transaction" && GetJsonField(message, "type") == "confirmation");
      if (needs_session && !ValidateSession(pContent, session)) return true;
    }

    if (route == "/session/finish") {
      FinishSession(pContent, session.get());
    } else if (route == "/initialize") {
      InitializeSiTef(pContent, session.get());
    } else if (route == "/pinpad/status") {
      CheckPinpad(pContent, session.get());
    } else if (route == "/version") {
      CheckFileVersion(pContent, nullptr);
    } else if (route == "/transaction") {
      StartTransaction(pContent, session.get());
    } else if (route == "/transaction/status") {
      TransactionStatus(pContent, session.get());
    } else if (route == "/transaction/cancel") {
      CancelTransactionInProgress(pContent);
    } else if (route == "/print") {
      Print(pContent, nullptr);
    }
    // Any other route: the session check above was the whole answer.
  } catch (const std::exception& error) {
    SendClientMessage(BuildErrorReply(error.what()));
  }
  return true;
}
