#pragma once
// Reading the stand-in CliSiTef library's journal in tests.
#include <sstream>
#include <string>
#include <vector>

// The journal's finalisation lines (FinalizaFuncaoSiTefInterativo), in order, each as
// "confirma=N transacao=outcome", so a test asserts the whole list of settlements.
inline std::vector<std::string> StandInFinalisations(const std::string& journal) {
  std::vector<std::string> out;
  std::istringstream lines(journal);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("FinalizaFuncaoSiTefInterativo(") == std::string::npos) continue;
    out.push_back(line.substr(line.find("confirma="), 10) + " " + line.substr(line.find("transacao=")));
  }
  return out;
}
