#pragma once
#include <string>

// The service log: one folder per month (Log/<Month>-<yyyy>/, the month's long name in the
// LC_TIME language with a capital first letter) and one file per day
// ("NorvaneSiTefService dd-mm-yyyy.log"). Each call opens, appends one line and closes;
// no lock is taken and nothing is raised. Returns 1 when the line was written, else 0.
int GravaLog(const std::string& pStr);

namespace norvane {

// Folder of today's service log, with a trailing "/" (exe folder + "Log/" + month folder).
std::string service_log_folder();
// Full path of today's service log file.
std::string service_log_file();
// The month folder name for a local date: "Dezembro-2026" under pt_BR.
std::string month_folder_name(int year, int month);

}  // namespace norvane
