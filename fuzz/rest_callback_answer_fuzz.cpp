// Feeds arbitrary answers of the sales back-end (status, reason and body) to the reader that
// decides whether a payment is confirmed. Besides crashes it checks the one rule that keeps
// payments safe: only a status from 200 to 204 accepts, and a refusal always says why.
#include <cstddef>
#include <cstdint>
#include <string>

#include "datamodule/SalesCallback.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  TRESTResponse response;
  response.StatusCode = 100 + (data[0] | (data[1] << 8)) % 500;
  const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::size_t split = rest.find('\n');
  response.StatusText = split == std::string::npos ? std::string() : rest.substr(0, split);
  response.Content = split == std::string::npos ? rest : rest.substr(split + 1);

  const TCallbackAnswer answer = ReadCallbackAnswer(response);
  const bool success = response.StatusCode >= 200 && response.StatusCode <= 204;
  if (answer.Accepted != success) __builtin_trap();
  if (!answer.Accepted && (answer.FailureText.empty() || answer.PaymentId != 0)) __builtin_trap();
  return 0;
}
