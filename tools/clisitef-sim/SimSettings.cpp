#include "SimSettings.h"

#include <dlfcn.h>
#include <strings.h>

#include <algorithm>

#include "platform/IniFile.h"

namespace clisitef_sim {
namespace {

constexpr const char* kSection = "Simulator";

struct ScenarioName {
  const char* name;
  Scenario scenario;
};

constexpr ScenarioName kScenarioNames[] = {
    {"approved", Scenario::approved},         {"debit", Scenario::debit},
    {"credit", Scenario::credit},             {"pix", Scenario::pix},
    {"check", Scenario::check},               {"cancellation", Scenario::cancellation},
    {"reprint", Scenario::reprint},           {"admin", Scenario::admin},
    {"declined", Scenario::declined},         {"unauthorized", Scenario::unauthorized},
    {"abort", Scenario::abort},               {"customerabort", Scenario::customerabort},
    {"noconnection", Scenario::noconnection}, {"alreadydone", Scenario::alreadydone},
    {"owncodes", Scenario::owncodes},
};

}  // namespace

std::string library_folder() {
  // Found once: a loaded library stays where it was loaded from, and the folder is asked
  // for at every call of the library (its settings, its journal, its files of sales).
  static const std::string folder = [] {
    Dl_info info{};
    // Any symbol of this library locates the file it was loaded from.
    if (dladdr(reinterpret_cast<void*>(&library_folder), &info) == 0 || info.dli_fname == nullptr)
      return std::string("./");
    std::string path = info.dli_fname;
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
  }();
  return folder;
}

Settings read_settings() {
  // One look at the file for all the keys: every key read through TIniFile would look at
  // the file again (a stat, and a whole read while the file was changed in the last
  // seconds, as it is when a test has just switched scenarios), some twenty-five times for
  // one call, and the keys could come from two versions of the file.
  const norvane::TIniSnapshot ini = norvane::TIniFile(library_folder() + "CliSiTef.ini").Snapshot();
  Settings s;
  s.scenario_text = ini.ReadString(kSection, "Scenario", "approved");
  s.scenario_known = false;
  for (const ScenarioName& entry : kScenarioNames) {
    if (strcasecmp(entry.name, s.scenario_text.c_str()) == 0) {
      s.scenario = entry.scenario;
      s.scenario_known = true;
    }
  }
  s.configure_result = ini.ReadInteger(kSection, "ConfigureResult", s.configure_result);
  s.pinpad = ini.ReadInteger(kSection, "PinPad", s.pinpad);
  s.pending_count = ini.ReadInteger(kSection, "PendingCount", s.pending_count);
  s.poll_count = std::max(0, ini.ReadInteger(kSection, "PollCount", s.poll_count));
  s.poll_interval_ms =
      std::clamp(ini.ReadInteger(kSection, "PollIntervalMs", s.poll_interval_ms), 0, 60000);
  std::string qr = ini.ReadString(kSection, "QRCodeCommand", "auto");
  if (qr == "50") s.qrcode = QrCodeMode::command50;
  else if (qr == "52") s.qrcode = QrCodeMode::command52;
  else if (strcasecmp(qr.c_str(), "pinpad") == 0) s.qrcode = QrCodeMode::pinpad;
  s.decline_code = ini.ReadInteger(kSection, "DeclineCode", s.decline_code);
  s.already_done_result = ini.ReadInteger(kSection, "AlreadyDoneResult", s.already_done_result);
  s.max_installments =
      std::clamp(ini.ReadInteger(kSection, "MaxInstallments", s.max_installments), 2, 99);
  s.card_number = ini.ReadString(kSection, "CardNumber", s.card_number);
  s.card_brand = ini.ReadString(kSection, "CardBrand", s.card_brand);
  s.network = ini.ReadString(kSection, "Network", s.network);
  s.pinpad_message_result =
      ini.ReadInteger(kSection, "PinPadMessageResult", s.pinpad_message_result);
  s.track3_result = ini.ReadInteger(kSection, "Track3Result", s.track3_result);
  s.friend_id = ini.ReadString(kSection, "FriendId", s.friend_id);
  s.card_read_result = ini.ReadInteger(kSection, "CardReadResult", s.card_read_result);
  s.card_track1 = ini.ReadString(kSection, "CardTrack1", s.card_track1);
  s.card_track2 = ini.ReadString(kSection, "CardTrack2", s.card_track2);
  s.journal = ini.ReadString(kSection, "Journal", s.journal);
  s.pending_file = ini.ReadString(kSection, "PendingFile", s.pending_file);
  s.settled_file = ini.ReadString(kSection, "SettledFile", s.settled_file);
  s.finalize_result = ini.ReadInteger(kSection, "FinalizeResult", s.finalize_result);
  return s;
}

}  // namespace clisitef_sim
