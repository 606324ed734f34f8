#pragma once
#include <string>
#include <vector>

// Appends one TEF log line to a file ("-- dd/mm hh:nn:ss:zzz - text" CR LF, the time from
// norvane::now()). UTF-8 text is written as Windows-1252; text that is not UTF-8 is taken
// as single-byte already. Nothing for an empty path; never raises.
void GravaLogTEF(const std::string& ArqLOG, const std::string& AString);
// The same for several lines at once (a response's fields), each as above, appended
// together in one write: one look at the file for all of them, and no other writer's line
// between them.
void GravaLogTEF(const std::string& ArqLOG, const std::vector<std::string>& Linhas);
