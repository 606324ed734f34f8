#pragma once
// "SvcNorvaneSiTef CHECK": reads what a start would read and says, one line per point, what is
// right and what to do about what is not, as "nginx -t" and "sshd -t" do for theirs.
#include <functional>
#include <string>
#include <vector>

namespace norvane {

// How bad one point is; the worst point gives the exit status.
enum class CheckLevel {
  Ok = 0,      // nothing to do
  Unsafe = 1,  // the service runs, but something is unsafe or missing (the stand-in, no origins)
  Fatal = 2,   // the service cannot start, or cannot take a payment, as the installation is
};

struct CheckLine {
  CheckLevel level;
  std::string text;
};

struct CheckOptions {
  // "CHECK <url>": the sales back-end's address, asked once with its certificate verified.
  std::string callback_url;
  // Finds a CUPS printer by name: empty when it takes jobs, else what is wrong with it.
  // Unset: the CUPS scheduler is asked.
  std::function<std::string(const std::string& printer)> printer_problem;
};

// Every point, in the order they are shown. Nothing is written: no log line, no folder.
std::vector<CheckLine> CheckInstallation(const CheckOptions& options = {});

// The exit status of a check: the worst level among its lines.
int CheckExitStatus(const std::vector<CheckLine>& lines);

// "ok    text", "WARN  text" or "FAIL  text".
std::string FormatCheckLine(const CheckLine& line);

// Runs the check, prints its lines and a closing verdict, and returns the exit status.
int RunInstallationCheck(const CheckOptions& options);

}  // namespace norvane
