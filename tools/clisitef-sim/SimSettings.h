#pragma once
#include <string>

namespace clisitef_sim {

// What the next dialogue does. The dialogue itself follows the function code
// (0 menu of payment kinds, 2 debit, 3 credit, ...); a scenario either forces one dialogue
// for every function code or changes how it ends.
enum class Scenario {
  approved,       // dialogue by function code, always approved
  debit,          // these six: that dialogue whatever the function code, approved
  credit,
  pix,
  check,
  cancellation,
  reprint,
  admin,
  declined,       // dialogue by function code; the authoriser declines (positive result)
  unauthorized,   // the same, the decline first told by the notice (command 22) "Unauthorized"
  abort,          // the card or QR-code wait never ends until the caller aborts (-1)
  customerabort,  // the customer cancels on the pin-pad while typing the password (-6)
  noconnection,   // "Sem conexao SiTef", result -5
  alreadydone,    // command 22 "Transacao ja efetuada"
  owncodes,       // a typed card asked under codes and titles of its own, its number repeated
};

// How an instant payment shows its QR code.
enum class QrCodeMode { automatic, command50, command52, pinpad };

// Settings of section [Simulator] of CliSiTef.ini beside the library. Read anew for every
// ConfiguraIntSiTefInterativoEx and IniciaFuncaoSiTefInterativo (and for each pin-pad call),
// so a test or a developer switches scenarios between two payments by editing the file.
// Each reading takes every key from one version of the file.
struct Settings {
  Scenario scenario = Scenario::approved;
  std::string scenario_text = "approved";
  bool scenario_known = true;
  int configure_result = 0;
  int pinpad = 1;
  int pending_count = -1;  // -1: the real number of approved, unfinished transactions
  int poll_count = 3;
  int poll_interval_ms = 500;
  QrCodeMode qrcode = QrCodeMode::automatic;
  int decline_code = 5;
  int already_done_result = 11;
  int max_installments = 12;
  std::string card_number = "4111111111111111";
  std::string card_brand = "VISA";
  std::string network = "REDE";
  int pinpad_message_result = 0;
  int track3_result = 10000;
  std::string friend_id = "0123456789";
  int card_read_result = 0;
  std::string card_track1 = "B6062820000000001^CLIENTE AMIGO             ^29121010000000000000";
  std::string card_track2 = "6062820000000001=29121010000000000000";
  std::string journal = "CliSiTef.journal";
  std::string pending_file = "CliSiTef.pendentes";
  std::string settled_file = "CliSiTef.finalizadas";
  // Answer of FinalizaFuncaoSiTefInterativo. Anything but 0 is a finalisation that failed
  // (the server could not be reached, say): the sale stays pending, as it was.
  int finalize_result = 0;
};

// Folder of the loaded library, with a trailing "/".
std::string library_folder();

Settings read_settings();

}  // namespace clisitef_sim
