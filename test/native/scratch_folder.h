// A fresh folder under /tmp for one test, removed with all it holds when the
// test is done, also when an assertion ends the test early.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <string>

class ScratchFolder {
 public:
  ScratchFolder() {
    char pattern[] = "/tmp/parvox-native-XXXXXX";
    if (::mkdtemp(pattern)) path_ = pattern;
  }
  ~ScratchFolder() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // False when no folder could be made.
  bool made() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string at(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
