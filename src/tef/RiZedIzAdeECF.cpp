// The component's questions and commands to the cash register, all through the host's
// events, and the printing of the pending responses on it.
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "tef/RiZedIzAde.h"
#include "tef/RiZedIzAdeTef.h"

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

// The value a caller passes as default to InfoECFAsDouble so that an answer that is no
// number is reported rather than taken.
constexpr double kValorInvalido = -98787158;

std::string valor_log(double valor) {
  return Currency::FromDoubleHalfEven(valor).Format(decimal_separator());
}

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

int TRiZedIzAde::ResultadoECF(int Retorno, const std::string& NaoTratado,
                              const std::string& Erro) const {
  if (Retorno > 0) return Retorno;
  const std::string& mensagem = Retorno < 0 ? NaoTratado : Erro;
  GravaLog(mensagem);
  throw ERiZedIzAdeECF(mensagem);
}

double TRiZedIzAde::InfoECFAsDouble(TRiZedIzAdeInfoECF Operacao, int DefaultValue) {
  std::string texto = norvane::trim(InfoECFAsString(Operacao));
  for (char& c : texto)
    if (c == ',') c = '.';
  double valor = DefaultValue;
  double lido = 0;
  const auto [fim, erro] = std::from_chars(texto.data(), texto.data() + texto.size(), lido);
  if (!texto.empty() && erro == std::errc() && fim == texto.data() + texto.size()) valor = lido;
  valor = std::round(valor * 100) / 100;
  if (valor == kValorInvalido)
    throw ERiZedIzAdeErro("Erro na conversão do Valor Retornado de: OnInfoECF( " +
                          enum_name(Operacao) + ")");
  return valor;
}

int TRiZedIzAde::ComandarECF(TRiZedIzAdeOperacaoECF Operacao) {
  GravaLog(NomeGerenciador() + " ComandarECF: Oper: " + enum_name(Operacao));
  int retorno = -1;
  if (OnComandaECF) OnComandaECF(Operacao, Resp(), retorno);
  return ResultadoECF(retorno,
                      "Operação [" + enum_name(Operacao) + "] não tratada em \"OnComandaECF\"",
                      "Erro ao imprimir comprovante \"TEF\"");
}

int TRiZedIzAde::ECFImprimeVia(TRiZedIzAdeTipoRelatorio TipoRelatorio, int Via,
                               const std::vector<std::string>& ImagemComprovante) {
  GravaLog(NomeGerenciador() + " ECFImprimeVia: " + enum_name(TipoRelatorio) +
           " Via: " + std::to_string(Via));
  int retorno = -1;
  if (OnComandaECFImprimeVia) OnComandaECFImprimeVia(TipoRelatorio, Via, ImagemComprovante, retorno);
  return ResultadoECF(retorno, "\"OnComandaECFImprimeVia\" não tratado",
                      "Erro ao executar \"OnComandaECFImprimeVia\"");
}

int TRiZedIzAde::ECFPagamento(const std::string& Indice, double Valor) {
  GravaLog(NomeGerenciador() + " ECFPagamento: Indice: " + Indice + " Valor: " + valor_log(Valor));
  int retorno = -1;
  if (OnComandaECFPagamento) OnComandaECFPagamento(Indice, Currency::FromDoubleHalfEven(Valor), retorno);
  return ResultadoECF(retorno, "\"OnComandaECFPagamento\" não tratada",
                      "Erro ao executar \"OnComandaECFPagamento\"");
}

int TRiZedIzAde::ECFAbreVinculado(const std::string& COO, const std::string& Indice, double Valor) {
  GravaLog(NomeGerenciador() + " ECFAbreVinculado: COO: " + COO + " Indice: " + Indice +
           " Valor: " + valor_log(Valor));
  int retorno = -1;
  if (OnComandaECFAbreVinculado)
    OnComandaECFAbreVinculado(COO, Indice, Currency::FromDoubleHalfEven(Valor), retorno);
  return ResultadoECF(retorno, "\"OnComandaECFAbreVinculado\" não tratado",
                      "Erro ao executar \"OnComandaECFAbreVinculado\"");
}

int TRiZedIzAde::ECFSubtotaliza(double DescAcres) {
  GravaLog(NomeGerenciador() + " ECFSubtotaliza: DescAcres: " + valor_log(DescAcres));
  if (!OnComandaECFSubtotaliza) {
    ComandarECF(opeSubTotalizaCupom);
    return 0;
  }
  int retorno = -1;
  OnComandaECFSubtotaliza(Currency::FromDoubleHalfEven(DescAcres), retorno);
  ResultadoECF(retorno, "\"OnComandaECFSubtotaliza\" não tratada",
               "Erro ao executar \"OnComandaECFSubtotaliza\"");
  ComandarECF(opeImprimePagamentos);
  return retorno;
}

void TRiZedIzAde::FinalizarCupom(bool DesbloquearMouseTecladoNoTermino) {
  GravaLog(std::string("FinalizarCupom") +
           (DesbloquearMouseTecladoNoTermino ? ", DesbloquearMouseTecladoNoTermino" : ""));
}

// ---------------------------------------------------------------------------------------
// Printing the pending responses

// State of one ImprimirTransacoesPendentes.
struct TRiZedIzAde::Impressao {
  bool Gerencial = false;         // print in a management report
  bool GerencialAberto = false;   // a management report is open
  bool AbrirGerencial = false;    // open one before the next copy (repeated attempt)
  bool MensagemExibida = false;   // special texts are on show
  std::string MensagemFinal;      // the cheque's authentication text, shown at the end
};

void TRiZedIzAde::ImprimirResposta(Impressao& Imp, int Indice, TRiZedIzAdeTipoRelatorio Tipo) {
  TRiZedIzAdeResp& r = fpRespostasPendentes[Indice];
  const bool ultima = Indice == fpRespostasPendentes.Count() - 1;
  SetGPAtual(r.TipoGP());
  const norvane::WaitPoint inicio = norvane::wait_now();
  int vias = Atual().NumVias();
  if (r.ImagemComprovante2aVia().empty()) vias = 1;
  if (r.ImagemComprovante1aVia().empty()) vias = 0;

  const std::string& operador = r.fpTextoEspecialOperador;
  const std::string& cliente = r.fpTextoEspecialCliente;
  if (vias == 0) {
    if (!(operador + cliente).empty())
      DoExibeMsg(opmOK, operador + (operador.empty() ? "" : "\r\n\r\n") + cliente);
  } else {
    if (!operador.empty()) {
      DoExibeMsg(opmExibirMsgOperador, operador);
      Imp.MensagemExibida = true;
    }
    if (!cliente.empty()) {
      DoExibeMsg(opmExibirMsgCliente, cliente);
      Imp.MensagemExibida = true;
    }
  }

  for (int via = 1; via <= vias; ++via) {
    if (Imp.AbrirGerencial) {
      ComandarECF(opeAbreGerencial);
      Imp.GerencialAberto = true;
      Imp.AbrirGerencial = false;
    }
    ECFImprimeVia(Tipo, via, via == 1 ? r.ImagemComprovante1aVia() : r.ImagemComprovante2aVia());
    if (Tipo == trGerencial && (via < vias || !ultima)) {
      ComandarECF(opePulaLinhas);
      char texto[64];
      std::snprintf(texto, sizeof texto, "Destaque a %dª Via", via);
      DoExibeMsg(opmDestaqueVia, texto);
    }
  }

  if (Imp.MensagemExibida) {
    // The operator and the customer get five seconds to read the texts.
    norvane::sleep_until(inicio + std::chrono::seconds(5));
    DoExibeMsg(opmRemoverMsgOperador, "");
    DoExibeMsg(opmRemoverMsgCliente, "");
    Imp.MensagemExibida = false;
  }
  if (fExibirMsgAutenticacao && !r.fpAutenticacao.empty())
    Imp.MensagemFinal = "Favor anotar no verso do Cheque:\r\n" + r.fpAutenticacao;
  if (!ultima && !Imp.MensagemFinal.empty()) {
    DoExibeMsg(opmOK, Imp.MensagemFinal);
    Imp.MensagemFinal.clear();
  }
}

void TRiZedIzAde::ImprimirTransacoesPendentes() {
  if (fpRespostasPendentes.Empty()) return;
  GravaLog("ImprimirTransacoesPendentes");
  char estado = EstadoECF();
  if (estado != 'L') {
    if (estado == 'C')
      ComandarECF(opeFechaVinculado);
    else if (estado == 'G' || estado == 'R')
      ComandarECF(opeFechaGerencial);
    else if (estado == 'N' || estado == 'P' || estado == 'V')
      FinalizarCupom(false);
    if (EstadoECF() != 'L') throw ERiZedIzAdeECF("ECF não está LIVRE");
  }
  TRiZedIzAdeArrayGrupoRespostasPendentes grupos;
  AgruparRespostasPendentes(grupos);
  BloquearMouseTeclado(true);

  Impressao imp;
  bool impresso = false;
  while (true) {
    try {
      if (imp.Gerencial) {
        // A repeated attempt: everything again, in one management report.
        estado = EstadoECF();
        if (estado == 'C')
          ComandarECF(opeFechaVinculado);
        else if (estado == 'G' || estado == 'R')
          ComandarECF(opeFechaGerencial);
        if (EstadoECF() != 'L') throw ERiZedIzAdeECF("ECF não está LIVRE");
        imp.GerencialAberto = false;
        imp.AbrirGerencial = true;
        for (int j = 0; j < fpRespostasPendentes.Count(); ++j)
          ImprimirResposta(imp, j, trGerencial);
        imp.AbrirGerencial = false;
        if (imp.GerencialAberto) ComandarECF(opeFechaGerencial);
      } else {
        int aberta = -1;  // order number of the last payment whose document was opened
        for (const TRiZedIzAdeGrupoRespostasPendentes& grupo : grupos) {
          if (grupo.OrdemPagamento >= 999) imp.Gerencial = true;
          for (int j = 0; j < fpRespostasPendentes.Count(); ++j) {
            TRiZedIzAdeResp& r = fpRespostasPendentes[j];
            if (r.OrdemPagamento() != grupo.OrdemPagamento) continue;
            if (!r.ImagemComprovante1aVia().empty() && r.OrdemPagamento() != aberta) {
              aberta = r.OrdemPagamento();
              if (imp.Gerencial) {
                ComandarECF(opeAbreGerencial);
                imp.GerencialAberto = true;
              } else {
                ECFAbreVinculado(r.DocumentoVinculado(), grupo.IndiceFPG_ECF,
                                 grupo.Valor.ToDouble());
              }
            }
            ImprimirResposta(imp, j, imp.Gerencial ? trGerencial : trVinculado);
          }
          if (aberta >= 0) {
            if (imp.GerencialAberto) {
              ComandarECF(opeFechaGerencial);
              imp.GerencialAberto = false;
            } else {
              ComandarECF(opeFechaVinculado);
            }
          }
        }
      }
      impresso = true;
    } catch (const ERiZedIzAdeECF& e) {
      GravaLog("ImprimirTransacoesPendentes: " + std::string(e.what()));
    } catch (...) {
      if (imp.MensagemExibida) {
        DoExibeMsg(opmRemoverMsgOperador, "");
        DoExibeMsg(opmRemoverMsgCliente, "");
      }
      throw;
    }
    if (imp.MensagemExibida) {
      DoExibeMsg(opmRemoverMsgOperador, "");
      DoExibeMsg(opmRemoverMsgCliente, "");
      imp.MensagemExibida = false;
    }
    if (impresso) break;
    if (DoExibeMsg(opmYesNo, "Impressora não responde\r\nDeseja imprimir novamente ?") != mrYes)
      break;
    imp.Gerencial = true;
  }

  const bool servico = fTefCliSiTef != nullptr && fTefCliSiTef->ModoServico();
  if (!impresso) {
    try {
      ComandarECF(opeCancelaCupom);
    } catch (const std::exception& e) {
      // Giving up already: the coupon's cancellation is tried once, its failure logged.
      GravaLog("ImprimirTransacoesPendentes: " + std::string(e.what()));
    }
    if (!servico) CancelarTransacoesPendentes();
  } else if (!servico) {
    ConfirmarTransacoesPendentes();
  }
  BloquearMouseTeclado(false);
  if (!imp.MensagemFinal.empty()) DoExibeMsg(opmOK, imp.MensagemFinal);
  fpRespostasPendentes.Clear();
}
