// The report of an approved payment to the sales back-end, which decides whether the
// payment is confirmed.
#include <cerrno>
#include <cstdlib>
#include <exception>

#include "platform/ExeFolder.h"
#include "datamodule/SalesCallback.h"
#include "routing/JsonText.h"
#include "routing/Jwt.h"
#include "datamodule/ntDmSitef.h"
#include "platform/GravaLog.h"

using norvane::Json;

namespace {

// A JSON integer, or digits (optionally signed) in a string: the forms a back-end gives ids in.
bool read_payment_id(const Json& data, std::int64_t& id) {
  if (data.is_number_integer()) {
    id = data.get<std::int64_t>();
    return true;
  }
  if (data.is_number_unsigned()) return false;  // beyond a signed 64-bit id
  if (!data.is_string()) return false;
  const std::string& text = data.get_ref<const std::string&>();
  const std::size_t digits_from = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (text.size() <= digits_from || text.size() - digits_from > 18) return false;
  for (std::size_t i = digits_from; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  id = std::strtoll(text.c_str(), nullptr, 10);
  return true;
}

}  // namespace

TCallbackAnswer ReadCallbackAnswer(const TRESTResponse& response) {
  TCallbackAnswer answer;
  const norvane::JsonParseResult body = norvane::parse_json_text(response.Content);
  const bool object = body.status == norvane::JsonParseStatus::Ok && body.value.is_object();
  if (response.StatusCode >= 200 && response.StatusCode <= 204) {
    // The back-end has recorded the payment: an id it spelt badly must not undo it.
    answer.Accepted = true;
    if (response.ContentTooLarge) {
      answer.Warning = "Resposta da API aceita com corpo maior que " + std::to_string(kMaxResponseBytes) +
                       " bytes, não lido; id de pagamento 0.";
    } else if (response.ContentCutShort) {
      answer.Warning = "Resposta da API aceita (" + std::to_string(response.StatusCode) +
                       ") com o corpo interrompido pela conexão, não lido; id de pagamento 0.";
    } else if (object && body.value.contains("data") && !read_payment_id(body.value.at("data"), answer.PaymentId)) {
      answer.PaymentId = 0;
      answer.Warning = "Resposta da API sem id de pagamento inteiro em \"data\": " +
                       norvane::json_value_text(body.value.at("data")).substr(0, 200);
    } else if (!object && !response.Content.empty()) {
      answer.Warning = "Resposta da API aceita sem um objeto JSON; id de pagamento 0.";
    }
    return answer;
  }
  if (object && body.value.contains("message")) {
    answer.FailureText = "Code: " + std::to_string(response.StatusCode) +
                         " - Message: " + norvane::json_value_text(body.value.at("message"));
  } else {
    answer.FailureText = std::to_string(response.StatusCode) + " - " + response.StatusText;
  }
  return answer;
}

bool TDmSitef::SetTransactionDataValue(Json& ResultObject, const std::string& Name, const Json& Value) {
  if (!ResultObject.is_object() || !ResultObject.contains("transaction_data")) return false;
  Json& elements = ResultObject["transaction_data"];
  if (!elements.is_array() || elements.empty() || !elements[0].is_object()) return false;
  Json& first = elements[0];
  first.erase(Name);
  first[Name] = Value;
  return true;
}

bool TDmSitef::SendTransactionCallback(Json& ResultObject) {
  std::unique_ptr<TRESTResponse> response;
  try {
    response = PostSalesReport(CallbackBase(), norvane::write_json(ResultObject));
  } catch (const std::exception& error) {
    GravaLog(std::string("Erro ao registrar transação na API: ") + error.what());
    if (dynamic_cast<const ERestCertificateRefused*>(&error) != nullptr) {
      GravaLog("O certificado do servidor de vendas foi recusado. Instale a autoridade certificadora que o "
               "assinou no sistema ou em Certificado/ca_cert.pem; só se o servidor não puder ter um certificado "
               "válido, desligue a verificação com callback_verify_tls=0 na seção [sitef] da configuração.");
    }
    SetTransactionDataValue(ResultObject, "payment_id", 0);
    SetTransactionDataValue(ResultObject, "company_id", fEmpresa_Id);
    GravaLog(norvane::write_json(ResultObject));
    SendClientMessage(BuildErrorReply(std::string("Erro ao registrar transação: ") + error.what()));
    return false;
  }

  const TCallbackAnswer answer = ReadCallbackAnswer(*response);
  if (!answer.Accepted) {
    GravaLog("Erro ao registrar transação na API: " + answer.FailureText);
    SetTransactionDataValue(ResultObject, "payment_id", 0);
    SetTransactionDataValue(ResultObject, "company_id", fEmpresa_Id);
    // The client hears why the payment is undone, as for a back-end that cannot be reached.
    SendClientMessage(BuildErrorReply("Erro ao registrar transação: " + answer.FailureText));
    return false;
  }
  if (!answer.Warning.empty()) GravaLog(answer.Warning);
  SetTransactionDataValue(ResultObject, "payment_id", answer.PaymentId);
  SetTransactionDataValue(ResultObject, "company_id", fEmpresa_Id);
  return true;
}
