#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SimSettings.h"

namespace clisitef_sim {

// Command codes the library hands to its caller.
enum Command : int {
  kRecordField = 0,
  kOperatorMessage = 1,
  kCustomerMessage = 2,
  kBothMessages = 3,
  kMenuTitle = 4,
  kRemoveOperatorMessage = 11,
  kRemoveCustomerMessage = 12,
  kRemoveBothMessages = 13,
  kRemoveMenuTitle = 14,
  kConfirm = 20,
  kMenu = 21,
  kPressKey = 22,
  kWait = 23,
  kReadField = 30,
  kReadCheck = 31,
  kReadAmount = 34,
  kShowQrCode = 50,
  kShowQrCodeText = 52,
};

// Field codes of the `owncodes` scenario: card data asked under codes the service does not
// know, and a result field of the library's own that repeats the card number.
constexpr int kOwnCardNumberField = 4512;
constexpr int kOwnExpiryField = 4513;
constexpr int kOwnSecurityCodeField = 4514;
constexpr int kOwnCardResultField = 4520;

// Results the library ends a function with (besides 0 and the settable ones).
constexpr int kContinue = 10000;
constexpr int kNotConfigured = -1;
constexpr int kCancelledByOperator = -2;
constexpr int kInvalidFunction = -3;
constexpr int kNoConnection = -5;
constexpr int kCancelledByCustomer = -6;
constexpr int kNoFunctionRunning = -12;
constexpr int kInvalidArgument = -20;
constexpr int kPinPadError = -43;

// One thing the library hands to its caller in one ContinuaFuncaoSiTefInterativo.
struct Step {
  enum class Kind {
    display,   // message, title, removal, recorded field, QR code: needs nothing back
    question,  // menu, typed field, amount, yes/no: the next call carries the answer
    notice,    // command 22: the caller acknowledges (with continue code 0 or 1)
    wait,      // command 23: continue code -1 interrupts it
    end,       // the function ends with `result`
  };
  Kind kind = Kind::display;
  int command = 0;
  int field = -1;
  int16_t min = 0;
  int16_t max = 0;
  std::string text;
  bool forever = false;  // a wait that repeats until the caller aborts
  int result = 0;        // of an end
};

// An approved transaction, kept for the pending count and for reprints.
struct Sale {
  int function = 0;
  std::string document;
  std::string date;  // YYYYMMDD
  std::string nsu;
  long long cents = 0;
  std::string receipt_customer;
  std::string receipt_store;
};

// Everything a dialogue depends on, fixed when the function starts: replaying a dialogue
// with the same answers gives the same steps, which is how going back works.
struct RunContext {
  Settings settings;
  int function = 0;
  long long cents = 0;
  std::string document, date, time, operator_name, restrictions;
  std::string store_code, terminal;
  std::string nsu, nsu_host, authorisation, host_datetime, hash, txid;
  std::optional<Sale> last_sale;
  bool friend_card = false;  // started by LeTrilha3: the dialogue reads a track-3 card
};

struct Dialogue {
  std::vector<Step> steps;  // up to the first unanswered question, or to the end
  std::optional<Sale> sale; // set when the steps end approved
  std::string end_buffer;   // text left in the buffer at the end (track 3)
};

bool is_known_function(int function);

// The steps the function gives with these answers so far (one per question, in order).
Dialogue build_dialogue(const RunContext& context, const std::vector<std::string>& answers);

// "1050" cents as the library writes amounts: "10,50".
std::string format_cents(long long cents);

// "4111111111111111" as shown on receipts and in field 2021: "411111******1111".
std::string mask_card_number(const std::string& card);

}  // namespace clisitef_sim
