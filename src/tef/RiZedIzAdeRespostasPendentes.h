#pragma once
// The pending-response list.
//
// A payment approved by the authoriser is only settled (confirmed or undone) after the sale
// is closed. Between the two, the approval lives in the owner's pending list and in a
// numbered backup file; a file left in the backup folder always stands for a transaction
// that was approved and not yet settled, and the next start settles it.
#include "tef/RiZedIzAdeResp.h"

// The responses approved during the running sale and not yet settled, with the payment
// totals derived from them. Amounts are summed exactly in Currency and rounded to the cent
// with ties to the even cent.
class TRiZedIzAdeRespostasPendentes : public TRiZedIzAdeObjectList<TRiZedIzAdeResp> {
 public:
  Currency SaldoAPagar() const { return fSaldoAPagar; }
  void SetSaldoAPagar(Currency AValue) { fSaldoAPagar = AValue; }
  Currency ValorTotalAPagar() const { return fValorTotalAPagar; }
  void SetValorTotalAPagar(Currency AValue) { fValorTotalAPagar = AValue; }
  Currency ValorDinheiro() const { return fValorDinheiro; }
  void SetValorDinheiro(Currency AValue) { fValorDinheiro = AValue; }

  // Sum of ValorTotal - Saque of every response.
  Currency TotalPago() const;
  // Minus the sum of the discounts: a discount total reads as a negative amount.
  Currency TotalDesconto() const;
  // ValorTotalAPagar - (ValorDinheiro + the payments not yet registered on the cash
  // register, that is those whose OrdemPagamento is 0, with their discounts).
  Currency SaldoRestante() const;

 private:
  Currency fSaldoAPagar;
  Currency fValorTotalAPagar;
  Currency fValorDinheiro;
};

