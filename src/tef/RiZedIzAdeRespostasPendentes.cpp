#include "tef/RiZedIzAdeRespostasPendentes.h"

Currency TRiZedIzAdeRespostasPendentes::TotalPago() const {
  Currency soma;
  for (const auto& r : *this) soma += r->ValorTotal() - r->Saque();
  return soma.RoundToCentsHalfEven();
}

Currency TRiZedIzAdeRespostasPendentes::TotalDesconto() const {
  Currency soma;
  for (const auto& r : *this) soma += r->Desconto();
  return -soma.RoundToCentsHalfEven();
}

Currency TRiZedIzAdeRespostasPendentes::SaldoRestante() const {
  Currency naoRegistrado;
  for (const auto& r : *this)
    if (r->OrdemPagamento() == 0) naoRegistrado += r->ValorTotal() - r->Saque() + r->Desconto();
  return (fValorTotalAPagar - (fValorDinheiro + naoRegistrado.RoundToCentsHalfEven()))
      .RoundToCentsHalfEven();
}
