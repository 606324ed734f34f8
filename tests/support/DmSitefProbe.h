#pragma once
// The tests' window on the data module's private state: what a test sets up that no client
// message reaches directly (a sale already chosen, a stop the library is owed) and what it
// checks that no reply shows. A friend of TDmSitef; the service itself never uses it.
#include <atomic>
#include <cstdint>
#include <string>

#include "datamodule/ntDmSitef.h"

struct TDmSitefProbe {
  TDmSitef& dm;

  using TStopReason = TDmSitef::TStopReason;
  // Sets (or, with None, clears) the stop the library is owed, as a cancel would.
  void OweStop(TStopReason why) { dm.StopOperation(why); }
  bool StopStands() const { return dm.StopStands(); }
  // The operation guard, for a test that plays an operation that holds it.
  std::atomic<bool>& OperationGuard() { return dm.fProcessando; }

  TSessionList& Sessions() { return dm.FSessionList; }
  const TSessionTefClaims& TefClaims() const { return dm.FSessionTefClaims; }
  bool TlsConnection() const { return dm.FTLSConnection; }
  std::int32_t& SaleId() { return dm.fVenda_Id; }
  std::int32_t& CompanyId() { return dm.fEmpresa_Id; }
  std::string& CallbackUrl() { return dm.fCallbackURL; }
  std::string& PayerName() { return dm.fPayerName; }
  std::string& CancellationNsu() { return dm.fNsuCancelamento; }
  std::int64_t& Amount() { return dm.fValorTransacao; }
};
