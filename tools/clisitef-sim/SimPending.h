#pragma once
#include <string>
#include <vector>

#include "SimDialogues.h"

namespace clisitef_sim {

// The approved sales not yet confirmed or undone, kept in a file beside the library (or at
// an absolute path) as a real library keeps them, so they survive a restart of the program
// that loaded it. The file is the only copy: every call reads it and every change rewrites
// it whole (a new file renamed over the old one, so a stop never leaves half a list).
std::vector<Sale> read_pending(const std::string& file);
void write_pending(const std::string& file, const std::vector<Sale>& sales);

// The sales confirmed or undone, latest last (the last kSettledKept): a second finalisation
// of one is answered as a real library answers it, changing nothing, and journaled as such.
struct Settled {
  std::string document, nsu, outcome;  // outcome: "confirmada" or "desfeita"
  std::string date;                    // the sale's own "yyyymmdd"
};
inline constexpr size_t kSettledKept = 200;
std::vector<Settled> read_settled(const std::string& file);
void write_settled(const std::string& file, const std::vector<Settled>& sales);

}  // namespace clisitef_sim
