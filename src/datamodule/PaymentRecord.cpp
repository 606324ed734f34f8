#include "datamodule/PaymentRecord.h"

#include <cstdlib>
#include <exception>

#include "platform/CodePage.h"
#include "platform/GravaLog.h"
#include "tef/RiZedIzAdeTef.h"

namespace {

std::string host_value(TRiZedIzAdeResp& r, int sequence) {
  return DesescapaTexto(r.LeInformacao(kIdentificacaoControle, sequence).AsString());
}

}  // namespace

TPaymentRecord ReadPaymentRecord(const std::string& file) {
  TRiZedIzAdeRespCliSiTef r;
  r.LeArquivo(file);
  TPaymentRecord record;
  record.file = file;
  record.idempotency_key = host_value(r, kSequenciaChave);
  record.fingerprint = host_value(r, kSequenciaPedido);
  record.sale_id = r.LeInformacao(kIdentificacaoControle, kSequenciaVenda).AsInteger();
  record.document = norvane::to_windows1252(r.DocumentoVinculado());
  record.date = r.LeInformacao(kIdentificacaoControle, kSequenciaDataFiscal).AsString();
  record.time = r.LeInformacao(kIdentificacaoControle, kSequenciaHoraFiscal).AsString();
  record.nsu = r.NSU();
  record.reprint = TRiZedIzAdeCliSiTef::Reimpressao(r);
  record.report_address = host_value(r, kSequenciaRelatorioEndereco);
  record.report_body = host_value(r, kSequenciaRelatorioCorpo);
  record.company_id = r.LeInformacao(kIdentificacaoControle, kSequenciaRelatorioEmpresa).AsInteger();
  if (record.sale_id == 0) record.sale_id = r.LeInformacao(kIdentificacaoControle, kSequenciaRelatorioVenda).AsInteger();
  const std::string decided = r.LeInformacao(kIdentificacaoControle, kSequenciaDecisao).AsString();
  if (!r.LeInformacao(kIdentificacaoControle, kSequenciaIniciado).AsString().empty()) {
    record.state = TPaymentState::Started;
  } else if (!decided.empty()) {
    record.state = TPaymentState::Decided;
    record.confirm = decided == kDecisaoConfirmar;
    record.payment_id =
        std::strtoll(r.LeInformacao(kIdentificacaoControle, kSequenciaPagamentoId).AsString().c_str(), nullptr, 10);
  } else if (!record.report_body.empty()) {
    record.state = TPaymentState::Reported;
  }
  return record;
}

norvane::Json TPaymentRecord::ReportBody() const {
  norvane::JsonParseResult body = norvane::parse_json_text(report_body);
  if (body.status == norvane::JsonParseStatus::Ok && body.value.is_object()) return std::move(body.value);
  return norvane::Json(nullptr);
}

std::vector<TPaymentRecord> ReadPaymentRecords(const std::string& mask) {
  std::vector<TPaymentRecord> records;
  for (const std::string& file : norvane::list_matching_files(mask)) {
    try {
      records.push_back(ReadPaymentRecord(file));
    } catch (const std::exception& error) {
      // Gone meanwhile (settled), or unreadable: the settlement pass says the latter once.
      (void)error;
    }
  }
  return records;
}

std::string RequestFingerprint(const std::string& type, std::int32_t operation, std::int64_t amount,
                               std::int32_t sale_id, std::int32_t installments, const std::string& nsu,
                               const std::string& date) {
  std::string text = type + " operation=" + std::to_string(operation);
  if (type == "reprint") return text;
  text += " amount=" + std::to_string(amount) + " sale=" + std::to_string(sale_id) +
          " installments=" + std::to_string(installments);
  if (type == "cancellation") text += " nsu=" + nsu + " date=" + date;
  return text;
}
