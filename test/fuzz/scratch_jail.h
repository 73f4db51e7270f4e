// What both fuzz targets share: every input is written to a file and
// extracted inside a dedicated folder, and afterwards that folder must hold
// nothing but the scratch folder the extraction was pointed at. Anything
// written elsewhere, and any link created on disk, aborts the run so that
// libFuzzer keeps the input.
#pragma once

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace fuzz {

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "\n*** parvox fuzz check failed: %s\n", what.c_str());
  std::abort();
}

inline std::set<std::string> items_of(const std::string& folder) {
  std::set<std::string> items;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) fail("cannot list " + folder);
  while (dirent* item = ::readdir(dir)) {
    const std::string name = item->d_name;
    if (name != "." && name != "..") items.insert(name);
  }
  ::closedir(dir);
  return items;
}

// Layout, created once per process (in $PARVOX_FUZZ_TMP, /dev/shm or /tmp):
//   base/input.zip      the archive under test
//   base/jail/          the working directory of the process
//   base/jail/scratch/  the only place extraction may write to
class ScratchJail {
 public:
  ScratchJail() {
    // As in Ruby, which takes its character type from the environment: entry
    // names are converted to that charset (script/fuzz sets C.UTF-8).
    std::setlocale(LC_CTYPE, "");
    const char* tmp = std::getenv("PARVOX_FUZZ_TMP");
    std::string root = tmp ? tmp : (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    std::string pattern = root + "/parvox-fuzz-XXXXXX";
    if (!::mkdtemp(&pattern[0])) fail("mkdtemp in " + root);
    base_ = pattern;
    archive_ = base_ + "/input.zip";
    jail_ = base_ + "/jail";
    scratch_ = jail_ + "/scratch";
    // Relative paths resolve inside the jail, so a stray relative write is
    // caught as well.
    if (::mkdir(jail_.c_str(), 0700) != 0 || ::chdir(jail_.c_str()) != 0) fail("jail setup");
  }

  ~ScratchJail() {
    ::nftw(scratch_.c_str(), remove_any, 32, FTW_DEPTH | FTW_PHYS);
    ::unlink(archive_.c_str());
    ::rmdir(jail_.c_str());
    ::rmdir(base_.c_str());
  }

  const std::string& archive() const { return archive_; }
  const std::string& scratch() const { return scratch_; }

  // Writes the input as the archive file and makes an empty scratch folder.
  void prepare(const uint8_t* data, size_t size) {
    FILE* out = std::fopen(archive_.c_str(), "wb");
    if (!out || std::fwrite(data, 1, size, out) != size || std::fclose(out) != 0) {
      fail("writing " + archive_);
    }
    if (::mkdir(scratch_.c_str(), 0700) != 0) fail("scratch folder left behind");
  }

  // Checks that nothing but the scratch folder appeared, that it holds no
  // link, and removes it.
  void check_and_clear() {
    if (items_of(jail_) != std::set<std::string>{"scratch"}) fail("written outside scratch: " + jail_);
    if (items_of(base_) != std::set<std::string>{"input.zip", "jail"}) fail("written beside " + jail_);
    struct stat st;
    if (::lstat(scratch_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) fail("scratch replaced");
    if (::nftw(scratch_.c_str(), remove_item, 32, FTW_DEPTH | FTW_PHYS) != 0) fail("clearing scratch");
  }

 private:
  static int remove_item(const char* path, const struct stat* st, int kind, struct FTW*) {
    if (kind == FTW_SL || kind == FTW_SLN || S_ISLNK(st->st_mode)) {
      fail(std::string("link created on disk: ") + path);
    }
    return remove_any(path, st, kind, nullptr);
  }
  static int remove_any(const char* path, const struct stat*, int kind, struct FTW*) {
    if (kind == FTW_DNR) ::chmod(path, 0700);
    return ::remove(path) == 0 ? 0 : -1;
  }

  std::string base_, archive_, jail_, scratch_;
};

inline ScratchJail& jail() {
  static ScratchJail instance;
  return instance;
}

}  // namespace fuzz
