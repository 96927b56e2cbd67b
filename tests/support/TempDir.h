// A fresh directory under /tmp for one test, removed with everything in it
// when the object goes; and whole-file reads and writes for the files tests
// put there. Header only, so that every test program can use it without a
// library of its own.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

inline void WriteFile(const std::string& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The whole file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class TTempDir {
 public:
  // `stem` names the directory /tmp/<stem>-XXXXXX, for whoever finds one left behind.
  explicit TTempDir(const std::string& stem = "tavrelh5-test") {
    std::string pattern = "/tmp/" + stem + "-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, std::string_view text) const { WriteFile(File(name), text); }
  std::string Read(const std::string& name) const { return ReadFile(File(name)); }

 private:
  std::string path_;
};
