#pragma once
// How the sales back-end's answer to a payment report is read.
#include <cstdint>
#include <string>

#include "rest/uRest.h"

struct TCallbackAnswer {
  bool Accepted = false;
  std::int64_t PaymentId = 0;  // the back-end's id of the payment; 0 when it gave none
  std::string FailureText;     // why it was refused (when not accepted)
  std::string Warning;         // accepted, but something in the answer was unusable
};

// A status from 200 to 204 accepts the report; the payment id is the integer in the member
// `data` of a JSON object body (0 without one). Any other status refuses it with
// "Code: <status> - Message: <message>" when the body is a JSON object with `message`,
// else "<status> - <status text>". Never raises: the body may be anything.
TCallbackAnswer ReadCallbackAnswer(const TRESTResponse& response);
