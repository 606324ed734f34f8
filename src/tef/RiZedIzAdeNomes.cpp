#include "tef/RiZedIzAdeNomes.h"

namespace {

template <typename E, size_t N>
std::string name_of(E value, const char* const (&names)[N]) {
  const auto i = static_cast<size_t>(value);
  return i < N ? names[i] : "";
}

}  // namespace

std::string enum_name(TRiZedIzAdeTipo Value) {
  static const char* const names[] = {
      "gpNenhum",    "gpTefDial",  "gpTefDisc",   "gpHiperTef", "gpCliSiTef", "gpTefGpu",
      "gpVeSPague",  "gpBanese",   "gpTefAuttar", "gpGoodCard", "gpFoxWin",   "gpCliDTEF",
      "gpPetrocard", "gpCrediShop", "gpTicketCar", "gpConvCard"};
  return name_of(Value, names);
}

std::string enum_name(TRiZedIzAdeOperacaoMensagem Value) {
  static const char* const names[] = {
      "opmOK",          "opmYesNo",    "opmYesNoCustom",       "opmExibirMsgOperador",
      "opmRemoverMsgOperador", "opmExibirMsgCliente", "opmRemoverMsgCliente",
      "opmDestaqueVia", "opmExcept",   "opmQRCode"};
  return name_of(Value, names);
}

std::string enum_name(TRiZedIzAdeOperacaoECF Value) {
  static const char* const names[] = {
      "opeAbreGerencial", "opeFechaGerencial", "opePulaLinhas",   "opeSubTotalizaCupom",
      "opeFechaCupom",    "opeFechaVinculado", "opeCancelaCupom", "opeImprimePagamentos"};
  return name_of(Value, names);
}

std::string enum_name(TRiZedIzAdeTipoRelatorio Value) {
  static const char* const names[] = {"trGerencial", "trVinculado"};
  return name_of(Value, names);
}

std::string enum_name(TRiZedIzAdeInfoECF Value) {
  static const char* const names[] = {"ineSubTotal", "ineEstadoECF", "ineTotalAPagar"};
  return name_of(Value, names);
}
