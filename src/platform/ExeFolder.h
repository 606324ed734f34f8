#pragma once
#include <string>

namespace norvane {

// The folder of the running executable, with a trailing "/". Every relative file of the
// service (its ini, Log, TEF, dll, Certificado, print files) lives there.
std::string exe_folder();

// Tests point the service at a scratch folder; an empty text goes back to the real one.
void set_exe_folder_for_tests(const std::string& folder);

// Base name of the executable without folder ("SvcNorvaneSiTef").
std::string exe_base_name();

}  // namespace norvane
