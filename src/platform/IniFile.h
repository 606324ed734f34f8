#pragma once
#include <memory>
#include <string>
#include <vector>

namespace norvane {

// An INI file read and written the way the Windows private-profile functions do it:
// section and key names match without regard to case, values are trimmed of blanks (and
// of one pair of surrounding quotes), and every call goes to the file on disk, so a value
// changed by hand takes effect at the next read. Writes keep every other line and create
// the file (and the section) when missing.
//
// Reads are served from what was last read of the file while a stat(2) shows the same file:
// same device and inode, size, modification and change times. A file changed within the
// last seconds before it was read is read again each time, since a later change in the same
// tick of the file system's clock could leave both times as they were.
//
// A write never leaves the file cut: the new text goes to a temporary file in the same
// folder, is flushed to disk and renamed over the old file, with the old file's mode and
// owner; a full disk or a crash leaves the old file whole. A file that is there but cannot
// be read (an error, no bytes at all, NUL bytes) is never written over: what was read of it
// is not the file, and rebuilding it from that would lose every other key.
class TIniSnapshot;

class TIniFile {
 public:
  explicit TIniFile(std::string path) : path_(std::move(path)) {}

  const std::string& FileName() const { return path_; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& default_value) const;
  // A value that is not a whole decimal number (optionally signed) gives the default.
  int ReadInteger(const std::string& section, const std::string& key, int default_value) const;
  // Booleans are stored as integers: 0 is false, anything else true.
  bool ReadBool(const std::string& section, const std::string& key, bool default_value) const;

  // Returns false, writing nothing, when the value holds a control character (CR, LF, NUL
  // and the like) or the section or key name would not read back as written; also false
  // when the file could not be read (see Problem) or written, or its owner not kept.
  bool WriteString(const std::string& section, const std::string& key, const std::string& value);
  bool WriteInteger(const std::string& section, const std::string& key, int value);
  bool WriteBool(const std::string& section, const std::string& key, bool value);

  // The file as it is now, read once, for a caller that reads several values in one go.
  TIniSnapshot Snapshot() const;

 private:
  std::string path_;
};

// While one is alive on a thread, each file that thread reads is looked at on disk once: the
// first read's lines serve every later read of the same file on that thread, and a write
// through TIniFile takes its place. For a short piece of work (a message answered at once)
// that reads several keys of the same files through several helpers: it sees one version
// of each file, and pays for one stat(2) instead of one per key. Nested ones share the
// outermost's reads.
class TIniReadPass {
 public:
  TIniReadPass();
  ~TIniReadPass();
  TIniReadPass(const TIniReadPass&) = delete;
  TIniReadPass& operator=(const TIniReadPass&) = delete;
};

// The values of an INI file as they were when it was read, by the same rules as TIniFile.
class TIniSnapshot {
 public:
  explicit TIniSnapshot(std::vector<std::string> lines, std::string problem = {})
      : lines_(std::make_shared<const std::vector<std::string>>(std::move(lines))), problem_(std::move(problem)) {}
  // Shares lines read before (the snapshots of an unchanged file hold one copy).
  explicit TIniSnapshot(std::shared_ptr<const std::vector<std::string>> lines) : lines_(std::move(lines)) {}

  // Empty when the file was read whole or is not there at all (every key then takes its
  // default); otherwise what is wrong with it, in words for the log ("está vazio"). The
  // values of a file with a problem are not to be trusted: every read gives its default.
  const std::string& Problem() const { return problem_; }
  const std::vector<std::string>& Lines() const { return *lines_; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& default_value) const;
  int ReadInteger(const std::string& section, const std::string& key, int default_value) const;
  bool ReadBool(const std::string& section, const std::string& key, bool default_value) const;
  // The names of the keys of a section, as written, in file order (a name repeated in
  // another letter case is listed once, as it first appears).
  std::vector<std::string> Keys(const std::string& section) const;

 private:
  std::shared_ptr<const std::vector<std::string>> lines_;
  std::string problem_;
};

}  // namespace norvane
