#pragma once
// The response of a standard manager: a key-value file written by the manager's program.
#include "tef/RiZedIzAdeResp.h"

// Reads the fields from the keys a standard manager writes (000 to 040, 707 to 715, 999)
// on top of the component's own 899 keys. Values are used as the file holds them (they are
// not escaped), text fields are turned into UTF-8.
class TRiZedIzAdeRespTXT : public TRiZedIzAdeResp {
 public:
  // True when the trimmed status (009) is a number equal to 0 ("0", "00") or is "P1" in
  // any case.
  bool TransacaoAprovada() const override;
  void ConteudoToProperty() override;
  // A trailer line (999) was read: the manager finished writing the file.
  bool TrailerOk() const { return !fpTrailer.empty(); }

  // The installment count is cut here: a key's sequence has three digits, so no file can
  // describe more installments than this.
  static constexpr int kMaiorParcela = 999;
};
