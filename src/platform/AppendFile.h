#pragma once
#include <sys/types.h>

#include <mutex>
#include <string>

namespace norvane {

// A file that text is appended to again and again (a log, a journal), kept open between
// appends: opening the file (with its folder made sure of) and closing it again for each
// line was most of the cost of a line, and a payment writes dozens of them.
//
// Every append still goes to the file that is at the path when it is written: the path is
// looked up again first, and a file moved or deleted away (a rotation by hand, a cleaned
// folder) or a new path makes it open the file at the path anew, creating it (and its
// folder) when missing. A failed write closes the file, so that the next append tries again.
//
// One append is one write(2) on an O_APPEND descriptor, which the kernel keeps whole against
// other appenders of a local file. A file opened `locked` also takes an exclusive flock(2)
// around it, so that even a write the kernel cuts short (a signal, a full disk) is finished
// before another process that appends the same way gets in; that is two more system calls
// per append. Safe from any thread: appends are serialised by a mutex that guards every
// member.
class TAppendFile {
 public:
  explicit TAppendFile(bool locked) : locked_(locked) {}
  ~TAppendFile();
  TAppendFile(const TAppendFile&) = delete;
  TAppendFile& operator=(const TAppendFile&) = delete;

  // False when the file could not be opened or the text not written whole.
  bool Append(const std::string& path, const std::string& text);

 private:
  bool Open(const std::string& path);
  bool StillAtPath() const;
  void Close();

  const bool locked_;
  std::mutex mutex_;
  std::string path_;
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace norvane
