// The stand-in CliSiTef library: the twelve entry points, the state of the function under
// way and the journal of every call. The dialogues themselves are in SimDialogues.cpp.
#include "CliSiTefSim.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "SimDialogues.h"
#include "SimJournal.h"
#include "SimPending.h"
#include "SimSettings.h"
#include "platform/ElfSection.h"

// Marks this file as the stand-in: the service reads this section from dll/CliSiTef32I.dll
// and warns at every start that no real payment can be taken with it.
[[gnu::used, gnu::section(NORVANE_STAND_IN_SECTION)]] static const char kStandInMarker[] =
    "Norvane CliSiTef stand-in";

namespace clisitef_sim {
namespace {

struct Run {
  RunContext context;
  std::vector<std::string> answers;
  Dialogue dialogue;
  size_t next = 0;         // index of the next step to hand over
  bool delivered = false;  // a step was handed over and the next call answers it
};

struct State {
  std::mutex mutex;
  bool configured = false;
  std::string store_code, terminal;
  std::optional<Run> run;
  std::optional<Sale> last_sale;
  unsigned sequence = 0;
};

State& state() {
  static State s;
  return s;
}

std::string text_of(const char* p) { return p == nullptr ? std::string() : std::string(p); }

// The caller's text in a buffer of `size` bytes, up to its first NUL; a buffer without one
// is read to its end and no further.
std::string read_buffer(const char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return {};
  const void* nul = std::memchr(buffer, '\0', static_cast<size_t>(size));
  size_t length = nul ? static_cast<const char*>(nul) - buffer : static_cast<size_t>(size);
  return std::string(buffer, length);
}

// Writes at most size - 1 bytes and always the terminating NUL.
void write_buffer(char* buffer, int size, const std::string& text) {
  if (buffer == nullptr || size <= 0) return;
  size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

bool digits_only(const std::string& s, size_t length) {
  if (s.size() != length) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool valid_yyyymmdd(const std::string& s) {
  if (!digits_only(s, 8)) return false;
  int month = std::stoi(s.substr(4, 2)), day = std::stoi(s.substr(6, 2));
  return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

bool valid_hhnnss(const std::string& s) {
  if (!digits_only(s, 6)) return false;
  return std::stoi(s.substr(0, 2)) < 24 && std::stoi(s.substr(2, 2)) < 60 &&
         std::stoi(s.substr(4, 2)) < 60;
}

// Amounts arrive as "10,50": digits, a comma, two digits.
std::optional<long long> parse_amount_argument(const std::string& s) {
  auto comma = s.find(',');
  if (comma == std::string::npos || comma == 0 || comma > 12 || s.size() != comma + 3)
    return std::nullopt;
  std::string whole = s.substr(0, comma), cents = s.substr(comma + 1);
  if (!digits_only(whole, whole.size()) || !digits_only(cents, 2)) return std::nullopt;
  return std::stoll(whole) * 100 + std::stoll(cents);
}

bool identifier_ok(const std::string& s, size_t longest) {
  if (s.empty() || s.size() > longest) return false;
  for (unsigned char c : s)
    if (!std::isalnum(c)) return false;
  return true;
}

bool address_ok(const std::string& s) {
  if (s.empty() || s.size() > 255) return false;
  for (unsigned char c : s)
    if (!std::isalnum(c) && !std::strchr(".:;-_", c)) return false;
  return true;
}

// "[a;b];{c=1;};": every "[" closed by "]" and every "{" by "}", none nested.
bool parameters_ok(const std::string& s) {
  char open = 0;
  for (char c : s) {
    if (c == '[' || c == '{') {
      if (open) return false;
      open = c;
    } else if (c == ']' || c == '}') {
      if (open != (c == ']' ? '[' : '{')) return false;
      open = 0;
    }
  }
  return open == 0;
}

// The results that leave the library unconfigured.
bool configuration_failed(int result) {
  switch (result) {
    case 1: case 2: case 3: case 6: case 7: case 8: case 10: case 11: case 12: case 13:
      return true;
    default:
      return false;
  }
}

std::string local_timestamp() {
  time_t now = time(nullptr);
  tm t{};
  localtime_r(&now, &t);
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &t);
  return text;
}

uint64_t fnv1a(const std::string& text, uint64_t seed) {
  uint64_t h = 1469598103934665603ull ^ seed;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return h;
}

// Numbers a host would hand out for this transaction, fixed once per function.
void number_transaction(State& st, RunContext& c) {
  if (st.sequence == 0) st.sequence = 100000 + static_cast<unsigned>(time(nullptr) % 800000);
  unsigned nsu = st.sequence++;
  char text[64];
  std::snprintf(text, sizeof text, "%06u", nsu % 1000000);
  c.nsu = text;
  c.host_datetime = local_timestamp();
  c.nsu_host = c.host_datetime.substr(4, 6) + c.nsu;
  std::string seed = c.document + c.nsu + c.host_datetime + c.store_code + c.terminal;
  std::snprintf(text, sizeof text, "%016llX%016llX",
                static_cast<unsigned long long>(fnv1a(seed, 1)),
                static_cast<unsigned long long>(fnv1a(seed, 2)));
  c.hash = text;
  static constexpr char kCodeChars[] = "0123456789ABCDEFGHJKLMNPQRSTUVWXYZ";
  uint64_t h = fnv1a(seed, 3);
  c.authorisation.clear();
  for (int i = 0; i < 6; ++i, h /= 34) c.authorisation += kCodeChars[h % 34];
  c.txid = "SIM" + c.host_datetime.substr(0, 8) + c.nsu;
}

void journal(const Settings& settings, const JournalLine& line) {
  append_journal(settings.journal, line);
}

void warn_unknown_scenario(const Settings& settings) {
  if (settings.scenario_known) return;
  journal(settings, JournalLine("CliSiTef.ini")
                        .text("Scenario", settings.scenario_text)
                        .text("aviso", "cenario desconhecido; usando approved"));
}

void start_run(State& st, RunContext context) {
  context.store_code = st.store_code;
  context.terminal = st.terminal;
  context.last_sale = st.last_sale;
  number_transaction(st, context);
  Run run;
  run.context = std::move(context);
  run.dialogue = build_dialogue(run.context, run.answers);
  st.run = std::move(run);
}

// Steps back to the previous question: its answer is forgotten and it is asked again.
void go_back(Run& run) {
  if (run.answers.empty()) {
    run.next = 0;
    return;
  }
  run.answers.pop_back();
  run.dialogue = build_dialogue(run.context, run.answers);
  run.next = run.dialogue.steps.size() - 1;
}

int start_friend_card_read(State& st, const Settings& settings) {
  if (!st.configured) return kNotConfigured;
  if (settings.pinpad != 1) return kPinPadError;
  if (settings.track3_result != kContinue) return settings.track3_result;
  RunContext context;
  context.settings = settings;
  context.function = -1;
  context.friend_card = true;
  std::string now = local_timestamp();
  context.date = now.substr(0, 8);
  context.time = now.substr(8, 6);
  start_run(st, std::move(context));
  return kContinue;
}

}  // namespace
}  // namespace clisitef_sim

using namespace clisitef_sim;

extern "C" int32_t ConfiguraIntSiTefInterativoEx(const char* endereco_sitef,
                                                      const char* codigo_loja,
                                                      const char* numero_terminal,
                                                      int32_t reservado,
                                                      const char* parametros_adicionais) {
  State& st = state();
  std::lock_guard lock(st.mutex);
  Settings settings = read_settings();
  warn_unknown_scenario(settings);
  std::string address = text_of(endereco_sitef), store = text_of(codigo_loja);
  std::string terminal = text_of(numero_terminal);
  int result;
  if (!address_ok(address)) result = 1;
  else if (!identifier_ok(store, 8)) result = 2;
  else if (!identifier_ok(terminal, 8)) result = 3;
  else if (reservado != 0 || !parameters_ok(text_of(parametros_adicionais))) result = 11;
  else result = settings.configure_result;

  st.run.reset();  // a new configuration ends whatever function was under way
  st.configured = !configuration_failed(result);
  if (st.configured) {
    st.store_code = store;
    st.terminal = terminal;
  }
  journal(settings, JournalLine("ConfiguraIntSiTefInterativoEx")
                        .text("endereco", endereco_sitef)
                        .text("loja", codigo_loja)
                        .text("terminal", numero_terminal)
                        .number("reservado", reservado)
                        .text("parametros", parametros_adicionais)
                        .result(result));
  return result;
}

extern "C" int32_t IniciaFuncaoSiTefInterativo(int32_t funcao, const char* valor,
                                                    const char* cupom_fiscal,
                                                    const char* data_fiscal, const char* horario,
                                                    const char* operador,
                                                    const char* restricoes) {
  State& st = state();
  std::lock_guard lock(st.mutex);
  Settings settings = read_settings();
  warn_unknown_scenario(settings);
  auto cents = parse_amount_argument(text_of(valor));
  int result;
  if (!st.configured) {
    result = kNotConfigured;
  } else if (!is_known_function(funcao)) {
    result = kInvalidFunction;
  } else if (!cents || text_of(cupom_fiscal).empty() || !valid_yyyymmdd(text_of(data_fiscal)) ||
             !valid_hhnnss(text_of(horario))) {
    result = kInvalidArgument;
  } else {
    RunContext context;
    context.settings = settings;
    context.function = funcao;
    context.cents = *cents;
    context.document = text_of(cupom_fiscal).substr(0, 20);
    context.date = text_of(data_fiscal);
    context.time = text_of(horario);
    context.operator_name = text_of(operador);
    context.restrictions = text_of(restricoes);
    start_run(st, std::move(context));
    result = kContinue;
  }
  if (result != kContinue) st.run.reset();
  journal(settings, JournalLine("IniciaFuncaoSiTefInterativo")
                        .number("funcao", funcao)
                        .text("valor", valor)
                        .text("cupom", cupom_fiscal)
                        .text("data", data_fiscal)
                        .text("hora", horario)
                        .text("operador", operador)
                        .text("restricoes", restricoes)
                        .result(result));
  return result;
}

namespace {

// The journal never holds the card data a terminal is given: the typed card number as on a
// receipt, the expiry date and security code as asterisks.
std::string journal_answer(const State& st, const std::string& answer) {
  if (!st.run || !st.run->delivered || st.run->next == 0) return answer;
  const Step& last = st.run->dialogue.steps[st.run->next - 1];
  if (last.kind != Step::Kind::question) return answer;
  if (last.field == 512 || last.field == kOwnCardNumberField) return mask_card_number(answer);
  if (last.field == 513 || last.field == 514 || last.field == 500 || last.field == kOwnExpiryField ||
      last.field == kOwnSecurityCodeField)
    return std::string(answer.size(), '*');
  return answer;
}

}  // namespace

extern "C" int32_t ContinuaFuncaoSiTefInterativo(int32_t* comando, int32_t* tipo_campo,
                                                      int16_t* tamanho_minimo,
                                                      int16_t* tamanho_maximo, char* buffer,
                                                      int32_t tamanho_buffer, int32_t continua) {
  State& st = state();
  std::unique_lock lock(st.mutex);
  Settings settings = st.run ? st.run->context.settings : read_settings();
  std::string answer = read_buffer(buffer, tamanho_buffer);
  JournalLine line("ContinuaFuncaoSiTefInterativo");
  line.number("continua", continua).text("buffer", journal_answer(st, answer));
  auto finish = [&](int result) {
    journal(settings, line.result(result));
    return result;
  };

  if (comando == nullptr || tipo_campo == nullptr || tamanho_minimo == nullptr ||
      tamanho_maximo == nullptr || buffer == nullptr || tamanho_buffer <= 0)
    return finish(kInvalidArgument);
  *comando = 0;
  *tipo_campo = -1;
  *tamanho_minimo = 0;
  *tamanho_maximo = 0;
  if (!st.run) {
    write_buffer(buffer, tamanho_buffer, "");
    return finish(kNoFunctionRunning);
  }
  Run& run = *st.run;
  if (continua == -1) {
    st.run.reset();
    write_buffer(buffer, tamanho_buffer, "");
    return finish(kCancelledByOperator);
  }
  if (run.delivered) {
    const Step& last = run.dialogue.steps[run.next - 1];
    if (continua == 1 && last.kind != Step::Kind::notice) {
      // A notice is acknowledged with either code; anywhere else 1 means "back".
      go_back(run);
    } else if (last.kind == Step::Kind::question) {
      run.answers.push_back(answer.substr(0, 512));
      run.dialogue = build_dialogue(run.context, run.answers);
    } else if (last.kind == Step::Kind::wait && last.forever) {
      run.next -= 1;
    }
  }
  if (run.next >= run.dialogue.steps.size()) {  // cannot happen: a dialogue always ends
    st.run.reset();
    return finish(kInvalidArgument);
  }
  const Step step = run.dialogue.steps[run.next++];
  run.delivered = true;

  if (step.kind == Step::Kind::end) {
    write_buffer(buffer, tamanho_buffer, run.dialogue.end_buffer);
    if (step.result == 0 && run.dialogue.sale) {
      std::vector<Sale> pending = read_pending(settings.pending_file);
      pending.push_back(*run.dialogue.sale);
      write_pending(settings.pending_file, pending);
      st.last_sale = run.dialogue.sale;
      line.result(step.result)
          .text("nsu", run.dialogue.sale->nsu)
          .text("valor", format_cents(run.dialogue.sale->cents));
      st.run.reset();
      journal(settings, line);
      return 0;
    }
    st.run.reset();
    return finish(step.result);
  }
  if (step.kind == Step::Kind::wait && settings.poll_interval_ms > 0) {
    // A terminal waits for the card or the payment before asking again; the lock is let go
    // meanwhile so the pin-pad calls of another thread are not held up.
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(settings.poll_interval_ms));
    lock.lock();
  }
  *comando = step.command;
  *tipo_campo = step.field;
  *tamanho_minimo = step.min;
  *tamanho_maximo = step.max;
  write_buffer(buffer, tamanho_buffer, step.text);
  line.result(kContinue)
      .number("comando", step.command)
      .number("campo", step.field)
      .number("min", step.min)
      .number("max", step.max)
      .text("texto", step.text);
  journal(settings, line);
  return kContinue;
}

namespace {

int finalise(const char* function, int32_t confirma, const char* cupom_fiscal,
             const char* data_fiscal, const char* horario, const char* parametros,
             bool with_parameters) {
  State& st = state();
  std::lock_guard lock(st.mutex);
  Settings settings = read_settings();
  std::string document = text_of(cupom_fiscal);
  const std::string date = text_of(data_fiscal);
  std::string outcome = "nenhuma transacao pendente";
  std::vector<Sale> pending = read_pending(settings.pending_file);
  std::vector<Settled> settled = read_settled(settings.settled_file);
  // A sale is known by its date and document number, as a real library knows it: the same
  // number on another day is another sale.
  const auto it = std::find_if(pending.begin(), pending.end(),
                               [&](const Sale& s) { return s.document == document && s.date == date; });
  const int result = with_parameters ? settings.finalize_result : 0;
  if (result != 0) {
    outcome = "falha na finalizacao";  // the sale, if any, stays pending
  } else if (it != pending.end()) {
    // The sale is settled when it leaves the pending file. Its outcome is written first, so
    // that a process killed between the two files leaves it pending (settled by the next
    // call, whose outcome replaces the one written ahead) rather than lost from both.
    outcome = confirma == 1 ? "confirmada" : "desfeita";
    std::erase_if(settled, [&](const Settled& s) { return s.document == it->document && s.date == it->date; });
    settled.push_back({it->document, it->nsu, outcome, it->date});
    write_settled(settings.settled_file, settled);
    pending.erase(it);
    write_pending(settings.pending_file, pending);
  } else {
    // A finalisation of a sale already settled (the caller could not know whether its first
    // one got through) changes nothing; the journal says so and how it had ended.
    const auto done = std::find_if(settled.rbegin(), settled.rend(), [&](const Settled& s) {
      return s.document == document && (s.date.empty() || s.date == date);
    });
    if (done != settled.rend()) outcome = "ja " + done->outcome;
  }
  JournalLine line(function);
  line.number("confirma", confirma)
      .text("cupom", cupom_fiscal)
      .text("data", data_fiscal)
      .text("hora", horario);
  if (with_parameters) line.text("parametros", parametros);
  line.result(result).text("transacao", outcome);
  journal(settings, line);
  return result;
}

}  // namespace

extern "C" int32_t FinalizaFuncaoSiTefInterativo(int32_t confirma, const char* cupom_fiscal,
                                                      const char* data_fiscal,
                                                      const char* horario,
                                                      const char* parametros_adicionais) {
  return finalise("FinalizaFuncaoSiTefInterativo", confirma, cupom_fiscal, data_fiscal, horario,
                  parametros_adicionais, true);
}

extern "C" int32_t FinalizaTransacaoSiTefInterativo(int32_t confirma,
                                                         const char* cupom_fiscal,
                                                         const char* data_fiscal,
                                                         const char* horario) {
  return finalise("FinalizaTransacaoSiTefInterativo", confirma, cupom_fiscal, data_fiscal,
                  horario, nullptr, false);
}

extern "C" int32_t EscreveMensagemPermanentePinPad(const char* mensagem) {
  State& st = state();
  std::lock_guard lock(st.mutex);
  Settings settings = read_settings();
  int result = settings.pinpad != 1 ? kPinPadError : settings.pinpad_message_result;
  journal(settings, JournalLine("EscreveMensagemPermanentePinPad")
                        .text("mensagem", mensagem)
                        .result(result));
  return result;
}

extern "C" int32_t ObtemQuantidadeTransacoesPendentes(const char* data_fiscal,
                                                           const char* cupom_fiscal) {
  State& st = state();
  std::lock_guard lock(st.mutex);
  Settings settings = read_settings();
  std::string date = text_of(data_fiscal), document = text_of(cupom_fiscal);
  int result = 0;
  if (!valid_yyyymmdd(date)) {
    result = kInvalidArgument;
  } else if (settings.pending_count >= 0) {
    result = settings.pending_count;
  } else {
    for (const Sale& sale : read_pending(settings.pending_file))
      if (sale.date == date && (document.empty() || sale.document == document)) ++result;
  }
  journal(settings, JournalLine("ObtemQuantidadeTransacoesPendentes")
                        .text("data", data_fiscal)
                        .text("cupom", cupom_fiscal)
                        .result(result));
  return result;
}

extern "C" int32_t VerificaPresencaPinPad(void) {
  State& st = state();
  std::lock_guard lock(st.mutex);
  Settings settings = read_settings();
  journal(settings, JournalLine("VerificaPresencaPinPad").result(settings.pinpad));
  return settings.pinpad;
}

extern "C" int32_t LeTrilha3(void* resultado) {
  State& st = state();
  std::lock_guard lock(st.mutex);
  Settings settings = read_settings();
  int result;
  if (resultado == nullptr) {
    result = kInvalidArgument;
  } else {
    std::memset(resultado, 0, 4);
    result = start_friend_card_read(st, settings);
  }
  journal(settings, JournalLine("LeTrilha3").result(result));
  return result;
}

extern "C" int32_t LeCartaoDiretoEx(char* cartao_mascarado, char* trilha1, char* trilha2,
                                         int32_t tempo_espera, int32_t reservado) {
  State& st = state();
  std::lock_guard lock(st.mutex);
  Settings settings = read_settings();
  // The buffer sizes are fixed by the interface: 25, 129 and 129 bytes.
  int result;
  if (cartao_mascarado == nullptr || trilha1 == nullptr || trilha2 == nullptr) {
    result = kInvalidArgument;
  } else {
    result = settings.pinpad != 1 ? kPinPadError : settings.card_read_result;
    bool read = result == 0;
    write_buffer(cartao_mascarado, 25, read ? mask_card_number(settings.card_number) : "");
    write_buffer(trilha1, 129, read ? settings.card_track1 : "");
    write_buffer(trilha2, 129, read ? settings.card_track2 : "");
  }
  journal(settings, JournalLine("LeCartaoDiretoEx")
                        .number("tempo_espera", tempo_espera)
                        .number("reservado", reservado)
                        .result(result));
  return result;
}

extern "C" int32_t LeCartaoSeguro(const char* mensagem) {
  State& st = state();
  std::lock_guard lock(st.mutex);
  Settings settings = read_settings();
  int result = start_friend_card_read(st, settings);
  journal(settings, JournalLine("LeCartaoSeguro").text("mensagem", mensagem).result(result));
  return result;
}

extern "C" int32_t LeCartaoDiretoSeguro(const char* mensagem, char* cartao_mascarado,
                                             int32_t tamanho) {
  State& st = state();
  std::lock_guard lock(st.mutex);
  Settings settings = read_settings();
  int result = settings.pinpad != 1 ? kPinPadError : settings.card_read_result;
  write_buffer(cartao_mascarado, tamanho,
               result == 0 ? mask_card_number(settings.card_number) : "");
  journal(settings, JournalLine("LeCartaoDiretoSeguro")
                        .text("mensagem", mensagem)
                        .number("tamanho", tamanho)
                        .result(result));
  return result;
}
