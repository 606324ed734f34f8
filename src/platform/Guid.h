#pragma once
#include <string>

namespace norvane {

// A fresh random GUID (version 4) in its 36-character upper-case form without braces,
// 6F9619FF-8B86-4D11-B42D-00C04FC964FF; empty when no random bytes could be had.
std::string new_guid();

}  // namespace norvane
