#include "SimDialogues.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <functional>

namespace clisitef_sim {
namespace {

// Function codes the stand-in answers to.
constexpr int kFunctionMenu = 0;
constexpr int kFunctionCheck = 1;
constexpr int kFunctionDebit = 2;
constexpr int kFunctionCredit = 3;
constexpr int kFunctionAdmin = 110;
constexpr int kFunctionTest = 111;
constexpr int kFunctionReprintMenu = 112;
constexpr int kFunctionReprintLast = 113;
constexpr int kFunctionReprintChosen = 114;
constexpr int kFunctionPix = 122;
constexpr int kFunctionCancellation = 200;
constexpr int kFunctionCancellationWithValue = 201;

// A terminal gives up on a question after this many unacceptable answers; a caller that
// answers a question from a fixed preset would otherwise be asked forever.
constexpr int kAttempts = 3;

// Thrown to stop building: the dialogue waits for an answer not given yet, or has ended.
struct Stop {};

using Check = std::function<bool(const std::string&)>;

bool all_digits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool luhn_valid(const std::string& number) {
  if (!all_digits(number)) return false;
  int sum = 0;
  bool twice = false;
  for (auto it = number.rbegin(); it != number.rend(); ++it) {
    int d = *it - '0';
    if (twice && (d *= 2) > 9) d -= 9;
    sum += d;
    twice = !twice;
  }
  return sum % 10 == 0;
}

bool valid_date_ddmmyyyy(const std::string& s) {
  if (s.size() != 8 || !all_digits(s)) return false;
  int day = std::stoi(s.substr(0, 2)), month = std::stoi(s.substr(2, 2));
  int year = std::stoi(s.substr(4, 4));
  if (month < 1 || month > 12 || day < 1 || year < 1900) return false;
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29) return leap;
  return day <= kDays[month - 1];
}

bool valid_expiry_mmyy(const std::string& s) {
  if (s.size() != 4 || !all_digits(s)) return false;
  int month = std::stoi(s.substr(0, 2));
  return month >= 1 && month <= 12;
}

// Amounts come as the caller formats them: "12,30", "12.30" or "12".
std::optional<long long> parse_amount(const std::string& text) {
  std::string s = text;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  auto sep = s.find_first_of(",.");
  std::string whole = s.substr(0, sep);
  std::string fraction = sep == std::string::npos ? "" : s.substr(sep + 1);
  if (!all_digits(whole) || whole.size() > 12 || fraction.size() > 2) return std::nullopt;
  if (!fraction.empty() && !all_digits(fraction)) return std::nullopt;
  while (fraction.size() < 2) fraction += '0';
  return std::stoll(whole) * 100 + std::stoll(fraction);
}


std::string centered(const std::string& text, size_t width = 40) {
  if (text.size() >= width) return text;
  return std::string((width - text.size()) / 2, ' ') + text;
}

// "YYYYMMDD" + "HHNNSS" as "DD/MM/YYYY HH:NN".
std::string receipt_date(const std::string& ymd, const std::string& hms) {
  return ymd.substr(6, 2) + "/" + ymd.substr(4, 2) + "/" + ymd.substr(0, 4) + " " +
         hms.substr(0, 2) + ":" + hms.substr(2, 2);
}

// Due date of installment n, n x 30 days after the day of the sale, as "DDMMYYYY".
std::string due_date(const std::string& ymd, int n) {
  tm t{};
  t.tm_year = std::stoi(ymd.substr(0, 4)) - 1900;
  t.tm_mon = std::stoi(ymd.substr(4, 2)) - 1;
  t.tm_mday = std::stoi(ymd.substr(6, 2)) + 30 * n;
  t.tm_hour = 12;
  mktime(&t);
  char text[48];
  std::snprintf(text, sizeof text, "%02d%02d%04d", t.tm_mday, t.tm_mon + 1, t.tm_year + 1900);
  return text;
}

uint16_t crc16_ccitt(const std::string& data) {
  uint16_t crc = 0xFFFF;
  for (unsigned char c : data) {
    crc ^= static_cast<uint16_t>(c << 8);
    for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
  }
  return crc;
}

std::string emv(const std::string& id, const std::string& value) {
  char length[3];
  std::snprintf(length, sizeof length, "%02zu", value.size() % 100);
  return id + length + value;
}

// A "copia e cola" instant-payment code: the EMV layout every payer's bank app reads.
std::string pix_payload(const RunContext& c) {
  char amount[32];
  std::snprintf(amount, sizeof amount, "%lld.%02lld", c.cents / 100, c.cents % 100);
  std::string payload = emv("00", "01") +
                        emv("26", emv("00", "br.gov.bcb.pix") +
                                      emv("25", "pix.simulador.invalid/qr/v2/" + c.txid)) +
                        emv("52", "0000") + emv("53", "986") + emv("54", amount) +
                        emv("58", "BR") + emv("59", "LOJA " + c.store_code) +
                        emv("60", "SAO PAULO") + emv("62", emv("05", c.txid)) + "6304";
  char crc[8];
  std::snprintf(crc, sizeof crc, "%04X", crc16_ccitt(payload));
  return payload + crc;
}

// Builds the steps of one dialogue. Every question takes the next of the answers given so
// far; the first question without one stops the building (Stop), and so does the end.
class Script {
 public:
  Script(const RunContext& context, const std::vector<std::string>& answers, Dialogue& out)
      : c(context), answers_(answers), out_(out) {}

  const RunContext& c;

  void show(int command, const std::string& text = "") {
    add({Step::Kind::display, command, -1, 0, 0, text});
  }
  void record(int field, const std::string& value) {
    add({Step::Kind::display, kRecordField, field, 0, 0, value});
  }
  void notice(const std::string& text) { add({Step::Kind::notice, kPressKey, -1, 0, 0, text}); }
  void qr_code(int command, int field, const std::string& text) {
    add({Step::Kind::display, command, field, 0, 0, text});
  }

  void wait(int polls) {
    if (c.settings.scenario == Scenario::abort) {
      Step step{Step::Kind::wait, kWait, -1, 0, 0, ""};
      step.forever = true;
      add(step);
      throw Stop{};  // nothing follows a wait that never ends
    }
    for (int i = 0; i < polls; ++i) add({Step::Kind::wait, kWait, -1, 0, 0, ""});
  }

  // Options "1:Debito;2:Credito;": the answer is the code of one of them.
  std::string menu(const std::string& options) {
    return ask({Step::Kind::question, kMenu, -1, 0, 0, options},
               [&](const std::string& a) { return is_option(options, a); }, "Opcao invalida");
  }

  // Yes ("0") or no (anything else).
  bool confirm(const std::string& question) {
    return ask({Step::Kind::question, kConfirm, -1, 0, 0, question},
               [](const std::string&) { return true; }, "") == "0";
  }

  std::string field(int field, int16_t min, int16_t max, const std::string& prompt,
                    const Check& valid, const std::string& invalid, int command = kReadField) {
    return ask({Step::Kind::question, command, field, min, max, prompt},
               [&](const std::string& a) {
                 return static_cast<int>(a.size()) >= min && static_cast<int>(a.size()) <= max &&
                        valid(a);
               },
               invalid);
  }

  long long amount(int field, const std::string& prompt) {
    std::string a = ask({Step::Kind::question, kReadAmount, field, 1, 15, prompt},
                        [](const std::string& text) {
                          auto cents = parse_amount(text);
                          return cents && *cents > 0;
                        },
                        "Valor invalido");
    return *parse_amount(a);
  }

  [[noreturn]] void end(int result) {
    add({Step::Kind::end, 0, -1, 0, 0, ""});
    out_.steps.back().result = result;
    throw Stop{};
  }

 private:
  void add(Step step) { out_.steps.push_back(std::move(step)); }

  static bool is_option(const std::string& options, const std::string& answer) {
    if (answer.empty()) return false;
    size_t start = 0;
    while (start < options.size()) {
      size_t end = options.find(';', start);
      if (end == std::string::npos) end = options.size();
      std::string option = options.substr(start, end - start);
      if (option.substr(0, option.find(':')) == answer) return true;
      start = end + 1;
    }
    return false;
  }

  std::string ask(Step question, const Check& valid, const std::string& invalid) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      add(question);
      if (next_ >= answers_.size()) throw Stop{};
      const std::string& answer = answers_[next_++];
      if (valid(answer)) return answer;
      notice(invalid);
    }
    notice("Excedido o numero de tentativas");
    end(kCancelledByOperator);
  }

  const std::vector<std::string>& answers_;
  size_t next_ = 0;
  Dialogue& out_;
};

// Every function but a pin-pad card read starts by reaching the SiTef server.
void connect(Script& s) {
  s.show(kOperatorMessage, "Conectando ao SiTef...");
  if (s.c.settings.scenario == Scenario::noconnection) {
    s.show(kBothMessages, "Sem conexao SiTef");
    s.notice("Sem conexao SiTef");
    s.end(kNoConnection);
  }
  s.show(kRemoveOperatorMessage);
}

struct Card {
  std::string number;
  bool typed = false;
};

Card read_card(Script& s) {
  std::string how = s.menu("1:Magnetico/Chip;2:Digitado;");
  if (how == "2") {
    Card card{s.field(512, 13, 19, "Digite o numero do cartao", luhn_valid, "Cartao invalido"),
              true};
    s.field(513, 4, 4, "Data de vencimento do cartao (MMAA)", valid_expiry_mmyy,
            "Data de vencimento invalida");
    s.field(514, 3, 4, "Codigo de seguranca", all_digits, "Codigo de seguranca invalido");
    return card;
  }
  s.show(kBothMessages, "Insira ou passe o cartao");
  s.wait(s.c.settings.poll_count);
  s.show(kRemoveBothMessages);
  return {s.c.settings.card_number, false};
}

void password(Script& s) {
  s.show(kCustomerMessage, "Digite a senha");
  if (s.c.settings.scenario == Scenario::customerabort) {
    s.show(kRemoveCustomerMessage);
    s.show(kBothMessages, "Operacao cancelada pelo cliente");
    s.end(kCancelledByCustomer);
  }
  s.show(kRemoveCustomerMessage);
}

// What the authoriser answers, for the scenarios that end there without approval.
void authorise(Script& s) {
  s.show(kBothMessages, "Aguarde, em processamento...");
  switch (s.c.settings.scenario) {
    case Scenario::declined:
      s.show(kBothMessages, "Transacao nao autorizada@Saldo insuficiente");
      s.end(s.c.settings.decline_code);
    case Scenario::unauthorized:
      s.notice("Unauthorized");
      s.end(s.c.settings.decline_code);
    case Scenario::alreadydone:
      s.notice("Transacao ja efetuada");
      s.end(s.c.settings.already_done_result);
    default:
      break;
  }
}

struct Receipt {
  std::string title;
  std::string kind;  // "DEBITO A VISTA", ...
  std::string card;  // masked, or empty
  long long cents = 0;
  std::vector<std::string> extra;
};

std::string receipt_copy(const RunContext& c, const Receipt& r, const std::string& copy) {
  std::string date = receipt_date(c.host_datetime.substr(0, 8), c.host_datetime.substr(8, 6));
  std::vector<std::string> lines = {
      centered(r.title),
      centered(c.settings.network),
      "LOJA: " + c.store_code + "  TERMINAL: " + c.terminal,
      date,
      r.kind,
  };
  if (!r.card.empty()) lines.push_back(c.settings.card_brand + " " + r.card);
  lines.push_back("VALOR: R$ " + format_cents(r.cents));
  for (const std::string& e : r.extra) lines.push_back(e);
  lines.push_back("DOC: " + c.document + "  NSU: " + c.nsu);
  lines.push_back("AUT: " + c.authorisation + "  NSU HOST: " + c.nsu_host);
  lines.push_back(centered(copy));
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// Records what an approved transaction hands over and ends the function with success.
[[noreturn]] void approve(Script& s, Dialogue& out, const std::string& modality, const std::string& in_words,
             const Receipt& receipt, const std::string& card) {
  const RunContext& c = s.c;
  std::string customer = receipt_copy(c, receipt, "VIA CLIENTE");
  std::string store = receipt_copy(c, receipt, "VIA ESTABELECIMENTO");
  if (!modality.empty()) {
    s.record(100, modality);
    s.record(101, in_words);
    s.record(102, in_words);
  }
  s.record(105, c.host_datetime);
  s.record(131, "00125");
  s.record(132, c.settings.card_brand == "MASTERCARD" ? "00002" : "00001");
  s.record(133, c.nsu);
  s.record(134, c.nsu_host);
  s.record(135, c.authorisation);
  s.record(156, c.settings.network);
  s.record(157, "1020304050");
  if (!card.empty()) s.record(2021, mask_card_number(card));
  s.record(800, c.hash);
  s.record(121, customer);
  s.record(122, store);
  // Texts with accents come in Windows-1252, as the real library sends them.
  s.show(kBothMessages, "Transa\xE7\xE3o aprovada");
  out.sale = Sale{c.function, c.document, c.date, c.nsu, receipt.cents, customer, store};
  s.end(0);
}

// "4111111111111111" in groups of four: "4111 1111 1111 1111", or with hyphens.
std::string grouped(const std::string& number, char separator) {
  std::string out;
  for (size_t i = 0; i < number.size(); ++i) {
    if (i > 0 && i % 4 == 0) out += separator;
    out += number[i];
  }
  return out;
}

long long sale_amount(Script& s);

// A debit whose library asks for the typed card under codes and titles of its own and
// repeats the number where no field code says it is card data: in a message, in a yes/no
// question, in the title of the next question and in a result field. Any 13 to 19 digits
// are taken as the number, so that a number that is no card can be repeated too.
[[noreturn]] void own_codes(Script& s, Dialogue& out) {
  long long cents = sale_amount(s);
  std::string number = s.field(kOwnCardNumberField, 13, 19, "Digite o cartao", all_digits, "Cartao invalido");
  s.field(kOwnExpiryField, 4, 4, "Venc. (MMAA)", valid_expiry_mmyy, "Data de vencimento invalida");
  s.show(kBothMessages, "Cartao " + grouped(number, ' ') + " lido");
  if (!s.confirm("Confirma o cartao " + grouped(number, '-') + "?")) s.end(kCancelledByOperator);
  s.field(kOwnSecurityCodeField, 3, 4, "Cod. seg. do cartao " + number, all_digits,
          "Codigo de seguranca invalido");
  authorise(s);
  s.record(kOwnCardResultField, "CARTAO " + number);
  approve(s, out, "0100", "D\xE9" "bito \xE0 vista",
          {"COMPROVANTE DE TEF", "DEBITO A VISTA", mask_card_number(number), cents, {}}, number);
}

long long sale_amount(Script& s) {
  if (s.c.cents > 0) return s.c.cents;
  return s.amount(146, "Forneca o valor da transacao");
}

[[noreturn]] void debit(Script& s, Dialogue& out) {
  long long cents = sale_amount(s);
  Card card = read_card(s);
  if (!card.typed) password(s);
  authorise(s);
  approve(s, out, "0100", "D\xE9" "bito \xE0 vista",
          {"COMPROVANTE DE TEF", "DEBITO A VISTA", mask_card_number(card.number), cents, {}}, card.number);
}

[[noreturn]] void credit(Script& s, Dialogue& out) {
  long long cents = sale_amount(s);
  Card card = read_card(s);
  std::string plan;
  int count = 1;
  for (;;) {
    s.show(kMenuTitle, "Selecione a forma de pagamento");
    plan = s.menu("1:A Vista;2:Parcelado pelo Estabelecimento;3:Parcelado pela Administradora;");
    s.show(kRemoveMenuTitle);
    if (plan == "1") break;
    const int most = s.c.settings.max_installments;
    count = std::stoi(s.field(
        505, 1, 2, "Forneca o numero de parcelas",
        [most](const std::string& a) {
          return all_digits(a) && std::stoi(a) >= 2 && std::stoi(a) <= most;
        },
        "Numero de parcelas invalido"));
    if (s.confirm("Confirma " + std::to_string(count) + " parcelas de R$ " +
                  format_cents(cents / count) + "?"))
      break;
  }
  if (!card.typed) password(s);
  authorise(s);
  Receipt receipt{"COMPROVANTE DE TEF", "CREDITO A VISTA", mask_card_number(card.number), cents, {}};
  std::string modality = "0200", in_words = "Credito a vista";
  if (plan != "1") {
    modality = plan == "2" ? "0202" : "0203";
    in_words = plan == "2" ? "Credito parcelado pelo estabelecimento"
                           : "Credito parcelado pela administradora";
    receipt.kind = plan == "2" ? "CREDITO PARCELADO LOJA" : "CREDITO PARCELADO ADM";
    receipt.extra.push_back("EM " + std::to_string(count) + " PARCELAS");
    // The first installment takes the cents that do not divide evenly.
    for (int n = 1; n <= count; ++n) {
      long long part = cents / count + (n == 1 ? cents % count : 0);
      s.record(141, due_date(s.c.date, n));
      s.record(142, format_cents(part));
    }
  }
  approve(s, out, modality, in_words, receipt, card.number);
}

[[noreturn]] void pix(Script& s, Dialogue& out) {
  long long cents = sale_amount(s);
  s.show(kOperatorMessage, "Gerando QR Code...");
  QrCodeMode mode = s.c.settings.qrcode;
  if (mode == QrCodeMode::automatic) {
    // The caller asks for the code with this restriction when it shows it itself;
    // otherwise the pin-pad shows it.
    mode = s.c.restrictions.find("DevolveStringQRCode=1") != std::string::npos
               ? QrCodeMode::command50
               : QrCodeMode::pinpad;
  }
  // A forced instant payment may run with amount 0 (an administrative function code).
  RunContext priced = s.c;
  priced.cents = cents;
  std::string payload = pix_payload(priced);
  if (mode == QrCodeMode::command50) s.qr_code(kShowQrCode, 584, payload);
  else if (mode == QrCodeMode::command52) s.qr_code(kShowQrCodeText, 4128, payload);
  else s.show(kCustomerMessage, "Leia o QR Code no PinPad");
  s.show(kOperatorMessage, "Aguardando pagamento do QR Code...");
  s.wait(s.c.settings.poll_count);
  s.show(kRemoveBothMessages);
  authorise(s);
  s.record(106, s.c.txid);
  s.record(107, "PIX");
  s.record(108, "PIX");
  s.record(109, format_cents(cents));
  approve(s, out, "0500", "Pix", {"COMPROVANTE PIX", "PAGAMENTO INSTANTANEO", "", cents, {}}, "");
}

[[noreturn]] void check(Script& s, Dialogue& out) {
  long long cents = sale_amount(s);
  // The caller answers 501, 502 and 506 from what it was given, without asking anyone, so
  // an empty answer must be acceptable: natural person, no document, dated today.
  std::string person = s.field(501, 0, 1, "Tipo de pessoa (0-Fisica 1-Juridica)",
                               [](const std::string& a) { return a.empty() || a == "0" || a == "1"; },
                               "Tipo de pessoa invalido");
  std::string document = s.field(
      502, 0, 14, "CPF/CNPJ do emitente",
      [](const std::string& a) { return a.empty() || (all_digits(a) && (a.size() == 11 || a.size() == 14)); },
      "Documento invalido");
  std::string cmc7 = s.field(
      517, 3, 40, "Passe o cheque na leitora ou digite os dados",
      [](const std::string& a) { return a.rfind("0:", 0) == 0 || a.rfind("1:", 0) == 0; },
      "Dados do cheque invalidos", kReadCheck);
  s.field(506, 0, 8, "Data do cheque (DDMMAAAA)",
          [](const std::string& a) { return a.empty() || valid_date_ddmmyyyy(a); },
          "Data invalida");
  authorise(s);
  s.record(501, person.empty() ? "0" : person);
  if (!document.empty()) s.record(502, document);
  s.record(613, cmc7.substr(2));
  approve(s, out, "0300", "Cheque", {"CONSULTA DE CHEQUE", "CHEQUE", "", cents, {}}, "");
}

bool not_in_future(const std::string& ddmmyyyy, const std::string& today_ymd) {
  if (!valid_date_ddmmyyyy(ddmmyyyy)) return false;
  std::string ymd = ddmmyyyy.substr(4, 4) + ddmmyyyy.substr(2, 2) + ddmmyyyy.substr(0, 2);
  return ymd <= today_ymd;
}

[[noreturn]] void cancellation(Script& s, Dialogue& out) {
  const std::string today = s.c.date;
  s.show(kMenuTitle, "Cancelamento de transacao");
  std::string date = s.field(
      515, 8, 8, "Data da transacao (DDMMAAAA)",
      [today](const std::string& a) { return not_in_future(a, today); }, "Data invalida");
  std::string nsu = s.field(516, 1, 12, "Forneca o numero do documento (NSU) a ser cancelado",
                            all_digits, "NSU invalido");
  long long cents = s.amount(146, "Forneca o valor da transacao a ser cancelada");
  s.show(kRemoveMenuTitle);
  Card card = read_card(s);
  authorise(s);
  s.record(110, "1");
  s.record(515, date);
  s.record(516, nsu);
  approve(s, out, "", "",
          {"CANCELAMENTO DE TEF", "CANCELAMENTO", mask_card_number(card.number), cents,
           {"TRANSACAO ORIGINAL: " + date.substr(0, 2) + "/" + date.substr(2, 2) + "/" +
                date.substr(4) + " NSU " + nsu}},
          card.number);
}

[[noreturn]] void reprint(Script& s, Dialogue& out, int function) {
  const std::string today = s.c.date;
  bool chosen = function == kFunctionReprintChosen;
  if (function != kFunctionReprintLast && function != kFunctionReprintChosen)
    chosen = s.menu("1:Reimpressao do ultimo comprovante;2:Reimpressao de comprovante especifico;") == "2";
  Sale sale = s.c.last_sale.value_or(Sale{});
  if (!s.c.last_sale) {
    sale.date = today;
    sale.nsu = "000001";
    sale.cents = 100;
  }
  if (chosen) {
    std::string date = s.field(
        515, 8, 8, "Data da transacao (DDMMAAAA)",
        [today](const std::string& a) { return not_in_future(a, today); }, "Data invalida");
    sale.nsu = s.field(516, 1, 12, "Forneca o numero do documento (NSU)", all_digits,
                       "NSU invalido");
    sale.date = date.substr(4, 4) + date.substr(2, 2) + date.substr(0, 2);
  }
  if (sale.receipt_customer.empty()) {
    Receipt r{"COMPROVANTE DE TEF", "DEBITO A VISTA", mask_card_number(s.c.settings.card_number),
              sale.cents, {}};
    sale.receipt_customer = receipt_copy(s.c, r, "VIA CLIENTE");
    sale.receipt_store = receipt_copy(s.c, r, "VIA ESTABELECIMENTO");
  }
  s.record(56, sale.date.substr(6, 2) + sale.date.substr(4, 2) + sale.date.substr(0, 4));
  s.record(57, sale.nsu);
  s.record(58, format_cents(sale.cents));
  s.record(121, centered("*** REIMPRESSAO ***") + "\n" + sale.receipt_customer);
  s.record(122, centered("*** REIMPRESSAO ***") + "\n" + sale.receipt_store);
  s.show(kBothMessages, "Reimpress\xE3o conclu\xED" "da");
  (void)out;  // a reprint adds no transaction to settle
  s.end(0);
}

[[noreturn]] void communication_test(Script& s) {
  s.show(kBothMessages, "Teste de comunicacao com o SiTef@OK");
  s.end(0);
}

[[noreturn]] void admin(Script& s, Dialogue& out) {
  s.show(kMenuTitle, "Menu administrativo");
  std::string option = s.menu(
      "1:Teste de comunicacao;2:Reimpressao de comprovante;3:Cancelamento de transacao;"
      "4:Resumo de vendas;");
  s.show(kRemoveMenuTitle);
  if (option == "1") communication_test(s);
  if (option == "2") reprint(s, out, kFunctionReprintMenu);
  if (option == "3") cancellation(s, out);
  std::string report = centered("RESUMO DE VENDAS") + "\n" + "LOJA: " + s.c.store_code +
                       "  TERMINAL: " + s.c.terminal + "\n" +
                       receipt_date(s.c.date, s.c.time) + "\n";
  report += s.c.last_sale ? "ULTIMA VENDA NSU " + s.c.last_sale->nsu + " R$ " +
                                format_cents(s.c.last_sale->cents) + "\n"
                          : "NENHUMA VENDA NO PERIODO\n";
  s.record(121, report);
  s.end(0);
}

[[noreturn]] void payment_menu(Script& s, Dialogue& out) {
  s.show(kMenuTitle, "Selecione a forma de pagamento");
  std::string kind =
      s.menu("1:Cheque;2:Cartao de Debito;3:Cartao de Credito;4:Carteira Digital / Pix;");
  s.show(kRemoveMenuTitle);
  if (kind == "1") check(s, out);
  if (kind == "2") debit(s, out);
  if (kind == "3") credit(s, out);
  pix(s, out);
}

// LeTrilha3: a friend-programme card read on the pin-pad; the track ends in the buffer.
[[noreturn]] void friend_card(Script& s, Dialogue& out) {
  s.show(kCustomerMessage, "Passe o cartao");
  s.wait(s.c.settings.poll_count);
  s.show(kRemoveCustomerMessage);
  std::string id = s.c.settings.friend_id.substr(0, 10);
  id.resize(10, '0');
  out.end_buffer = ";" + id + "=" + s.c.date + "?";
  s.end(0);
}

}  // namespace

std::string mask_card_number(const std::string& card) {
  if (card.size() < 10) return card;
  return card.substr(0, 6) + std::string(card.size() - 10, '*') + card.substr(card.size() - 4);
}

std::string format_cents(long long cents) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld,%02lld", cents / 100, cents % 100);
  return text;
}

bool is_known_function(int function) {
  switch (function) {
    case kFunctionMenu: case kFunctionCheck: case kFunctionDebit: case kFunctionCredit:
    case kFunctionAdmin: case kFunctionTest: case kFunctionReprintMenu:
    case kFunctionReprintLast: case kFunctionReprintChosen: case kFunctionPix:
    case kFunctionCancellation: case kFunctionCancellationWithValue:
      return true;
    default:
      return false;
  }
}

Dialogue build_dialogue(const RunContext& c, const std::vector<std::string>& answers) {
  Dialogue out;
  Script s(c, answers, out);
  try {
    if (c.friend_card) friend_card(s, out);
    connect(s);
    switch (c.settings.scenario) {
      case Scenario::debit: debit(s, out);
      case Scenario::credit: credit(s, out);
      case Scenario::pix: pix(s, out);
      case Scenario::check: check(s, out);
      case Scenario::cancellation: cancellation(s, out);
      case Scenario::reprint: reprint(s, out, c.function);
      case Scenario::admin: admin(s, out);
      case Scenario::owncodes: own_codes(s, out);
      default: break;
    }
    switch (c.function) {
      case kFunctionMenu: payment_menu(s, out);
      case kFunctionCheck: check(s, out);
      case kFunctionDebit: debit(s, out);
      case kFunctionCredit: credit(s, out);
      case kFunctionPix: pix(s, out);
      case kFunctionAdmin: admin(s, out);
      case kFunctionTest: communication_test(s);
      case kFunctionReprintMenu: case kFunctionReprintLast: case kFunctionReprintChosen:
        reprint(s, out, c.function);
      default: cancellation(s, out);
    }
  } catch (const Stop&) {
  }
  return out;
}

}  // namespace clisitef_sim
