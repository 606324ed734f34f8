#pragma once
// A scratch folder of this fuzzing process, made at first use and removed when the run ends.
#include <unistd.h>

#include <filesystem>
#include <string>

namespace fuzz_support {

inline const std::string& work_folder(const char* name) {
  struct WorkFolder {
    std::string path;
    explicit WorkFolder(const char* n)
        : path((std::filesystem::temp_directory_path() /
                (std::string(n) + "_" + std::to_string(::getpid())))
                   .string()) {
      std::filesystem::create_directories(path);
    }
    ~WorkFolder() { std::filesystem::remove_all(path); }
  };
  static const WorkFolder folder(name);
  return folder.path;
}

}  // namespace fuzz_support
