#include "tef/RiZedIzAdeLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/CodePage.h"
#include "tef/RiZedIzAdeBase.h"

void GravaLogTEF(const std::string& ArqLOG, const std::string& AString) {
  if (ArqLOG.empty()) return;
  try {
    const std::string text =
        norvane::is_valid_utf8(AString) ? norvane::to_windows1252(AString) : AString;
    const std::string line =
        "-- " + FormatDateTime("dd/mm hh:nn:ss:zzz", Now()) + " - " + text + "\r\n";
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(ArqLOG).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    const int fd = ::open(ArqLOG.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // Another process appending to the same log waits, so lines never interleave.
    ::flock(fd, LOCK_EX);
    size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::flock(fd, LOCK_UN);
    ::close(fd);
  } catch (...) {
    // A log write never fails its caller: a line that cannot be written is lost.
  }
}
