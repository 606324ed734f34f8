// The component's questions and commands to the cash register, all through the host's
// events, and the printing of the pending responses on it.
#include "tef/RiZedIzAde.h"

namespace {

const char* const kEstadoECFInvalido =
    "Retorno de \"OnInfoEcf( ineEstadoECF, Retorno )\" deve ser:\r\n"
    "\"L\" = Livre\r\n"
    "\"V\" = Venda de Itens\r\n"
    "\"P\" - Pagamento (ou SubTotal efetuado)\r\n"
    "\"C\" ou \"R\" - CDC ou Cupom Vinculado\r\n"
    "\"G\" ou \"R\" - Relatório Gerencial\r\n"
    "\"N\" - Recebimento Não Fiscal\r\n"
    "\"O\" - Outro";

}  // namespace

std::string TRiZedIzAde::InfoECFAsString(TRiZedIzAdeInfoECF Operacao) {
  GravaLog("InfoECF: " + enum_name(Operacao));
  std::string retorno;
  try {
    if (!OnInfoECF) throw ERiZedIzAdeErro("Evento \"OnInfoECF\" não programado");
    OnInfoECF(Operacao, retorno);
  } catch (const std::exception& e) {
    GravaLog(NomeGerenciador() + "   Erro: " + e.what());
    throw ERiZedIzAdeECF(e.what());
  }
  GravaLog("    Ret: " + retorno);
  return retorno;
}

char TRiZedIzAde::EstadoECF() {
  const std::string retorno = InfoECFAsString(ineEstadoECF);
  char estado = retorno.empty() ? ' ' : retorno[0];
  if (estado >= 'a' && estado <= 'z') estado = static_cast<char>(estado - 'a' + 'A');
  if (std::string("CGLNOPRV").find(estado) == std::string::npos)
    throw ERiZedIzAdeECF(kEstadoECFInvalido);
  return estado;
}

int TRiZedIzAde::ComandarECF(TRiZedIzAdeOperacaoECF Operacao) {
  GravaLog(NomeGerenciador() + " ComandarECF: Oper: " + enum_name(Operacao));
  int retorno = -1;
  if (OnComandaECF) OnComandaECF(Operacao, Resp(), retorno);
  if (retorno <= 0) {
    const std::string mensagem =
        retorno < 0 ? "Operação [" + enum_name(Operacao) + "] não tratada em \"OnComandaECF\""
                    : std::string("Erro ao imprimir comprovante \"TEF\"");
    GravaLog(mensagem);
    throw ERiZedIzAdeECF(mensagem);
  }
  return retorno;
}

int TRiZedIzAde::ECFImprimeVia(TRiZedIzAdeTipoRelatorio TipoRelatorio, int Via,
                               const std::vector<std::string>& ImagemComprovante) {
  GravaLog(NomeGerenciador() + " ECFImprimeVia: " + enum_name(TipoRelatorio) +
           " Via: " + std::to_string(Via));
  int retorno = -1;
  if (OnComandaECFImprimeVia) OnComandaECFImprimeVia(TipoRelatorio, Via, ImagemComprovante, retorno);
  if (retorno <= 0) {
    const std::string mensagem = retorno < 0
                                     ? std::string("\"OnComandaECFImprimeVia\" não tratado")
                                     : std::string("Erro ao executar \"OnComandaECFImprimeVia\"");
    GravaLog(mensagem);
    throw ERiZedIzAdeECF(mensagem);
  }
  return retorno;
}

int TRiZedIzAde::ECFPagamento(const std::string& Indice, double Valor) {
  const Currency valor = Currency::FromDouble(Valor);
  GravaLog(NomeGerenciador() + " ECFPagamento: Indice: " + Indice +
           " Valor: " + valor.Format(decimal_separator()));
  int retorno = -1;
  if (OnComandaECFPagamento) OnComandaECFPagamento(Indice, valor, retorno);
  if (retorno <= 0) {
    const std::string mensagem = retorno < 0
                                     ? std::string("\"OnComandaECFPagamento\" não tratada")
                                     : std::string("Erro ao executar \"OnComandaECFPagamento\"");
    GravaLog(mensagem);
    throw ERiZedIzAdeECF(mensagem);
  }
  return retorno;
}

void TRiZedIzAde::FinalizarCupom(bool DesbloquearMouseTecladoNoTermino) {
  GravaLog(std::string("FinalizarCupom") +
           (DesbloquearMouseTecladoNoTermino ? ", DesbloquearMouseTecladoNoTermino" : ""));
}

void TRiZedIzAde::ImprimirTransacoesPendentes() {
  throw ERiZedIzAdeErro("ImprimirTransacoesPendentes ainda não disponível");
}
