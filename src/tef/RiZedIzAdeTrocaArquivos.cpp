// The request steps and transaction operations of the standard manager, which exchanges
// files with its program. That manager is not part of this system yet, so the base
// refuses them; each kind of manager fills the ones it has.
#include "tef/RiZedIzAdeClass.h"

void TRiZedIzAdeClass::Recusa(const std::string& Operacao) const {
  throw ERiZedIzAdeErro("Operação " + Operacao + " não disponível no Gerenciador Padrão " +
                        Name());
}

void TRiZedIzAdeClass::IniciarRequisicao(const std::string&, int32_t) { Recusa("IniciarRequisicao"); }
void TRiZedIzAdeClass::GravaIdentificacao() { Recusa("GravaIdentificacao"); }
void TRiZedIzAdeClass::FinalizarRequisicao() { Recusa("FinalizarRequisicao"); }
void TRiZedIzAdeClass::VerificaResposta() { Recusa("VerificaResposta"); }
void TRiZedIzAdeClass::LerRespostaRequisicao() { Recusa("LerRespostaRequisicao"); }
void TRiZedIzAdeClass::FinalizarResposta() { Recusa("FinalizarResposta"); }
void TRiZedIzAdeClass::ProcessarResposta() { Recusa("ProcessarResposta"); }
bool TRiZedIzAdeClass::ProcessarRespostaPagamento(const std::string&, Currency) {
  Recusa("ProcessarRespostaPagamento");
}
void TRiZedIzAdeClass::ATV() { Recusa("ATV"); }
bool TRiZedIzAdeClass::ADM() { Recusa("ADM"); }
bool TRiZedIzAdeClass::CRT(Currency, const std::string&, const std::string&, const std::string&,
                           const std::string&, const std::string&, const std::string&, int32_t) {
  Recusa("CRT");
}
bool TRiZedIzAdeClass::CHQ(Currency, const std::string&, const std::string&, const std::string&,
                           char, const std::string&, TDateTime, const std::string&,
                           const std::string&, const std::string&, const std::string&,
                           const std::string&, const std::string&, const std::string&,
                           const std::string&) {
  Recusa("CHQ");
}
void TRiZedIzAdeClass::NCN() { Recusa("NCN"); }
void TRiZedIzAdeClass::NCN(const std::string&, const std::string&, const std::string&, Currency,
                           const std::string&) {
  Recusa("NCN");
}
void TRiZedIzAdeClass::CNF() { Recusa("CNF"); }
void TRiZedIzAdeClass::CNF(const std::string&, const std::string&, const std::string&,
                           const std::string&) {
  Recusa("CNF");
}
bool TRiZedIzAdeClass::CNC() { Recusa("CNC"); }
bool TRiZedIzAdeClass::CNC(const std::string&, const std::string&, TDateTime, Currency) {
  Recusa("CNC");
}
