#include "platform/AppendFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace norvane {

TAppendFile::~TAppendFile() { Close(); }

bool TAppendFile::Append(const std::string& path, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0 && (path != path_ || !StillAtPath())) Close();
  if (fd_ < 0 && !Open(path)) return false;
  if (locked_) ::flock(fd_, LOCK_EX);
  size_t done = 0;
  bool failed = false;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed = true;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (locked_) ::flock(fd_, LOCK_UN);
  if (failed) Close();
  return !failed;
}

bool TAppendFile::Open(const std::string& path) {
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

bool TAppendFile::StillAtPath() const {
  struct stat info {};
  return ::stat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_;
}

void TAppendFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace norvane
