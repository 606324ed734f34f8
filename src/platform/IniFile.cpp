#include "platform/IniFile.h"
#include "platform/Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>
#include <vector>

namespace norvane {
namespace {

// The file's lines, or (lines empty) what keeps it from being read. A missing file is no
// problem: it has no keys.
TIniSnapshot read_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return TIniSnapshot(std::vector<std::string>{});
    return TIniSnapshot(std::vector<std::string>{}, "não pôde ser lido (" + std::string(std::strerror(errno)) + ")");
  }
  std::string text;
  char buffer[16384];
  int error = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (error != 0) return TIniSnapshot(std::vector<std::string>{}, "não pôde ser lido (" + std::string(std::strerror(error)) + ")");
  // What an interrupted rewrite leaves: nothing, or blocks never written (zeros).
  if (text.empty()) return TIniSnapshot(std::vector<std::string>{}, "está vazio");
  if (text.find('\0') != std::string::npos) return TIniSnapshot(std::vector<std::string>{}, "contém bytes nulos");

  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return TIniSnapshot(std::move(lines));
}

// What a stat(2) says of a file that tells one version of it from another.
struct TFileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
  bool operator==(const TFileStamp& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
  }
};

TFileStamp stamp_of(const struct stat& info) {
  return {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

// A change stamps the file with the file system's coarse clock (a tick of some
// milliseconds; two seconds on FAT), so a second change in the tick of the first leaves
// both times as they were. A file whose times are both this close to its read is read
// again each time, until it has been left alone long enough.
constexpr time_t kUnsettledSeconds = 3;

bool settled(const TFileStamp& stamp, const timespec& read_at) {
  // The change time only: every change moves it forward, while the modification time can be
  // set back (cp -p, rsync -t, tar, touch -d) on a file changed a moment ago.
  return stamp.changed.tv_sec + kUnsettledSeconds < read_at.tv_sec;
}

// The lines last read of each file, with the stamp the file had before that read. Only a
// file read whole is kept: a problem is found again at every read, as it may be mended
// without its stamp changing (a permission given back).
struct TReadCache {
  struct TEntry {
    TFileStamp stamp;
    std::shared_ptr<const std::vector<std::string>> lines;
  };
  static constexpr size_t kMaxFiles = 64;  // the service reads a handful
  std::mutex lock;
  std::unordered_map<std::string, TEntry> files;
};

TReadCache& read_cache() {
  static TReadCache cache;
  return cache;
}

// The reads of the TIniReadPass alive on this thread, if one is. Only a file read whole is
// kept, as in the process-wide cache.
struct TPassReads {
  int depth = 0;
  std::unordered_map<std::string, TIniSnapshot> files;
};
thread_local TPassReads pass_reads;

TIniSnapshot stat_and_read(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return read_file(path);
  const TFileStamp before = stamp_of(info);
  TReadCache& cache = read_cache();
  {
    std::lock_guard<std::mutex> guard(cache.lock);
    const auto found = cache.files.find(path);
    if (found != cache.files.end() && found->second.stamp == before) return TIniSnapshot(found->second.lines);
  }
  timespec read_at{};
  ::clock_gettime(CLOCK_REALTIME, &read_at);
  TIniSnapshot read = read_file(path);
  std::lock_guard<std::mutex> guard(cache.lock);
  // The stamp taken before the read goes with what was read: a change during the read
  // gives a new stamp, and the next read reads again.
  if (!read.Problem().empty() || !settled(before, read_at)) {
    cache.files.erase(path);
    return read;
  }
  if (cache.files.size() >= TReadCache::kMaxFiles && cache.files.find(path) == cache.files.end())
    cache.files.clear();
  auto lines = std::make_shared<const std::vector<std::string>>(read.Lines());
  cache.files[path] = {before, lines};
  return TIniSnapshot(std::move(lines));
}

TIniSnapshot cached_read(const std::string& path) {
  if (pass_reads.depth == 0) return stat_and_read(path);
  const auto found = pass_reads.files.find(path);
  if (found != pass_reads.files.end()) return found->second;
  TIniSnapshot read = stat_and_read(path);
  if (read.Problem().empty()) pass_reads.files.insert_or_assign(path, read);
  return read;
}

bool write_all(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Replaces the file with the text: a temporary file beside it (created with the process's
// umask, like a new file), flushed, given the old file's mode and owner, and renamed over it.
// False, the old file untouched and the temporary one gone, on any failure.
bool replace_file(const std::string& path, const std::string& text) {
  static std::atomic<unsigned> counter{0};
  struct stat old {};
  const bool existed = ::stat(path.c_str(), &old) == 0;
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = write_all(fd, text) && ::fsync(fd) == 0;
  if (ok && existed) {
    struct stat made {};
    ok = ::fstat(fd, &made) == 0 && ::fchmod(fd, old.st_mode & 07777) == 0;
    // Another owner can be kept only by root; the file is then left as it was rather than
    // handed to this process's user.
    if (ok && (made.st_uid != old.st_uid || made.st_gid != old.st_gid))
      ok = ::fchown(fd, old.st_uid, old.st_gid) == 0;
  }
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename reaches the disk with the folder.
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);  // some file systems cannot flush a folder; the file is whole either way
    ::close(dir);
  }
  return true;
}

// A line's parts are read on views of it: a read looks at every line of the file up to its
// key, and copies nothing but the value it returns.
std::string_view trimmed(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

// "[name]" gives name; anything else gives false.
bool section_of(std::string_view line, std::string_view& name) {
  const std::string_view t = trimmed(line);
  if (t.size() < 2 || t.front() != '[') return false;
  const auto close = t.find(']');
  if (close == std::string_view::npos) return false;
  name = trimmed(t.substr(1, close - 1));
  return true;
}

// "key = value" gives both, trimmed; a line without "=", or whose key is empty or starts a
// comment (";"), gives false.
bool key_of(std::string_view line, std::string_view& key, std::string_view& value) {
  const auto eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  key = trimmed(line.substr(0, eq));
  value = trimmed(line.substr(eq + 1));
  return !key.empty() && key[0] != ';';
}

// Section and key names match without regard to case.
bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool has_control_character(const std::string& text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < ' ' || byte == 0x7F) return true;
  }
  return false;
}

// A name is written only when a read finds it again as it is: no control characters (a line
// break would start a line of its own), no blanks at either end (a read trims them), and
// nothing that a read takes for the end of a name or for a comment.
bool readable_section_name(const std::string& name) {
  return !name.empty() && !has_control_character(name) && norvane::trim(name) == name &&
         name.find(']') == std::string::npos;
}

bool readable_key_name(const std::string& name) {
  return !name.empty() && !has_control_character(name) && norvane::trim(name) == name &&
         name.find('=') == std::string::npos && name.front() != ';' && name.front() != '[';
}

std::string read_value(const std::vector<std::string>& lines, const std::string& section,
                       const std::string& key, const std::string& default_value) {
  bool in_section = false;
  for (const std::string& line : lines) {
    std::string_view name, k, v;
    if (section_of(line, name)) {
      in_section = same_name(name, section);
    } else if (in_section && key_of(line, k, v) && same_name(k, key)) {
      if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\'')))
        v = v.substr(1, v.size() - 2);
      return std::string(v);
    }
  }
  return default_value;
}

int integer_value(std::string text, int default_value) {
  if (!text.empty() && text[0] == '+') text.erase(0, 1);
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return default_value;
  return value;
}

}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& default_value) const {
  return Snapshot().ReadString(section, key, default_value);
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key,
                          int default_value) const {
  return Snapshot().ReadInteger(section, key, default_value);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key,
                        bool default_value) const {
  return Snapshot().ReadBool(section, key, default_value);
}

TIniSnapshot TIniFile::Snapshot() const { return cached_read(path_); }

TIniReadPass::TIniReadPass() { ++pass_reads.depth; }

TIniReadPass::~TIniReadPass() {
  if (--pass_reads.depth == 0) pass_reads.files.clear();
}

std::string TIniSnapshot::ReadString(const std::string& section, const std::string& key,
                                     const std::string& default_value) const {
  return read_value(*lines_, section, key, default_value);
}

int TIniSnapshot::ReadInteger(const std::string& section, const std::string& key,
                              int default_value) const {
  return integer_value(ReadString(section, key, ""), default_value);
}

bool TIniSnapshot::ReadBool(const std::string& section, const std::string& key,
                            bool default_value) const {
  return ReadInteger(section, key, default_value ? 1 : 0) != 0;
}

std::vector<std::string> TIniSnapshot::Keys(const std::string& section) const {
  std::vector<std::string> keys;
  bool in_section = false;
  for (const std::string& line : *lines_) {
    std::string_view name, k, v;
    if (section_of(line, name)) {
      in_section = same_name(name, section);
    } else if (in_section && key_of(line, k, v)) {
      bool listed = false;
      for (const std::string& key : keys) listed = listed || same_name(key, k);
      if (!listed) keys.emplace_back(k);
    }
  }
  return keys;
}

namespace {

// Where a write of the key goes in the lines: `line`, the key's first line in the first
// section of that name, or -1; then `section_end`, the line after that section's last key
// (after its name when it has none), or -1 when there is no such section.
struct TKeyPlace {
  long line = -1;
  long section_end = -1;
  std::string written_key;  // the key as the file spells it, on `line`
};

TKeyPlace key_place(const std::vector<std::string>& lines, const std::string& section, const std::string& key) {
  TKeyPlace place;
  bool in_section = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view name, k, v;
    if (section_of(lines[i], name)) {
      if (in_section) break;
      in_section = same_name(name, section);
      if (in_section) place.section_end = static_cast<long>(i) + 1;
    } else if (in_section && key_of(lines[i], k, v)) {
      place.section_end = static_cast<long>(i) + 1;  // a new key goes after the last one
      if (same_name(k, key)) {
        place.line = static_cast<long>(i);
        place.written_key = std::string(k);
        break;
      }
    }
  }
  return place;
}

// The line already says it as a write would: the file stays as it is (a session start
// writes the same TLS settings each time, and a rewrite is a flush to disk).
bool says_already(const std::vector<std::string>& lines, const TKeyPlace& place, const std::string& value) {
  return place.line >= 0 && lines[static_cast<size_t>(place.line)] == place.written_key + "=" + value;
}

}  // namespace

bool TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  // A value holding a line break (or any other control character) would add lines of its
  // own, keys that whoever supplied the value chose: refused, and the file is left alone.
  if (!readable_section_name(section) || !readable_key_name(key) || has_control_character(value))
    return false;
  // What was last read of the file, while it shows no change, tells most writes they have
  // nothing to do, without reading the file again. Not what a read pass kept: the file may
  // have changed since, and a write goes by the file as it is.
  if (const TIniSnapshot known = stat_and_read(path_); known.Problem().empty()) {
    if (says_already(known.Lines(), key_place(known.Lines(), section, key), value)) return true;
  }
  TIniSnapshot current = read_file(path_);
  if (!current.Problem().empty()) return false;
  std::vector<std::string> lines = current.Lines();
  const TKeyPlace place = key_place(lines, section, key);
  if (says_already(lines, place, value)) return true;
  if (place.line >= 0) {
    lines[static_cast<size_t>(place.line)] = place.written_key + "=" + value;
  } else if (place.section_end < 0) {
    if (!lines.empty() && !norvane::trim(lines.back()).empty()) lines.emplace_back();
    lines.push_back("[" + section + "]");
    lines.push_back(key + "=" + value);
  } else {
    lines.insert(lines.begin() + place.section_end, key + "=" + value);
  }
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  // What this thread's pass read of the file is no longer the file, written or not.
  pass_reads.files.erase(path_);
  return replace_file(path_, text);
}

bool TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  return WriteString(section, key, std::to_string(value));
}

bool TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  return WriteString(section, key, value ? "1" : "0");
}

}  // namespace norvane
