#include "tef/RiZedIzAdeLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>

#include "platform/CardData.h"
#include "platform/CodePage.h"
#include "tef/RiZedIzAdeBase.h"

namespace {

// The TEF log file stays open between lines: a payment writes dozens of them, and opening,
// locking and closing the file (with its folder made sure of) for each one was most of the
// cost of a line. Before each line the path is looked up again: a file moved or deleted
// away (a rotation by hand, a cleaned folder) or a new path makes it open the file at the
// path anew, and a failed write closes it so that the next line tries again.
class OpenTefLog {
 public:
  ~OpenTefLog() { Close(); }

  void Append(const std::string& path, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0 && (path != path_ || !StillAtPath())) Close();
    if (fd_ < 0 && !Open(path)) return;
    // Another process appending to the same log waits, so lines never interleave.
    ::flock(fd_, LOCK_EX);
    size_t done = 0;
    bool failed = false;
    while (done < line.size()) {
      const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed = true;
        break;
      }
      done += static_cast<size_t>(n);
    }
    ::flock(fd_, LOCK_UN);
    if (failed) Close();
  }

 private:
  bool Open(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0) {
      Close();
      return false;
    }
    path_ = path;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    return true;
  }
  bool StillAtPath() const {
    struct stat info {};
    return ::stat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::mutex mutex_;
  std::string path_;
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

OpenTefLog& open_tef_log() {
  static OpenTefLog log;
  return log;
}

}  // namespace

void GravaLogTEF(const std::string& ArqLOG, const std::string& AString) {
  if (ArqLOG.empty()) return;
  try {
    // Fields the manager knows are masked before they get here; this catches a number the
    // library repeats where nobody expects it (a message, a title, a field of its own).
    const std::string text = norvane::scrub_card_numbers(
        norvane::is_valid_utf8(AString) ? norvane::to_windows1252(AString) : AString);
    const std::string line =
        "-- " + FormatDateTime("dd/mm hh:nn:ss:zzz", Now()) + " - " + text + "\r\n";
    open_tef_log().Append(ArqLOG, line);
  } catch (...) {
    // A log write never fails its caller: a line that cannot be written is lost.
  }
}
