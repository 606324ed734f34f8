#pragma once
#include <string>

namespace norvane {

// A file named in the configuration: an absolute path as it is, anything else relative to
// the service folder (exe_folder()).
std::string service_path(const std::string& configured);

// True when the Debian package `package` installed this service folder. Each package
// carries one marker file, installed-by/<package>, which only the packages install (a
// development folder or one copied by hand has none).
bool installed_by_package(const std::string& package);

// Payments approved and not yet settled: the backup files in the TEF folder, which is every
// file there but the kept results (results.json) and a write in progress (*.tmp). -1 when
// the folder cannot be read; 0 when it does not exist.
int count_unsettled_payments(const std::string& tef_folder);

inline constexpr char kServerPackage[] = "norvane-tef-server";
inline constexpr char kSimulatorPackage[] = "norvane-tef-simulator";

}  // namespace norvane
