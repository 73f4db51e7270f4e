// Writes the entries the input describes (names, folders, data of every size
// class the writer treats apart, large data also of a size not given in
// advance, a password, a number of threads, levels of the archive and of
// entries, comments), then reads
// the archive back through libarchive: every entry must come back in order,
// with its name and its bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "archive/write/compressors.h"
#include "test/native/read_back.h"
#include "archive/write/zip_writer.h"
#include "fsutil/file.h"

namespace {

using Entries = read_back::Entries;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ == size_; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string bytes(size_t n) {
    n = std::min(n, size_ - at_);
    std::string taken(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return taken;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Names from a small alphabet with '/' and a non-ASCII letter, never empty.
std::string name_from(Input& input) {
  static const char* const kParts[] = {"a", "b", "/", "\xC3\xA9", "x.txt", "0"};
  std::string name = "n";
  for (size_t length = input.byte() % 6; length > 0; --length) name += kParts[input.byte() % 6];
  return name;
}

// Data of a size class picked by the input: a few bytes or, once per input
// (for speed), around the whole buffer bound: compressed whole or up to
// three chunks beyond it (the input's bytes repeated).
std::string data_from(Input& input, bool* large_taken) {
  const uint8_t kind = input.byte();
  std::string seed = input.bytes(kind % 64);
  if (kind < 200 || seed.empty() || *large_taken) return seed;
  *large_taken = true;
  const size_t size = compressors::kWholeBufferBound - 2 + (kind - 200) * (compressors::kChunkSize / 18);
  std::string data;
  data.reserve(size);
  while (data.size() < size) data += seed;
  data.resize(size);
  return data;
}

// One scratch archive for the whole run, removed when the fuzzer exits.
class ScratchFile {
 public:
  ScratchFile() {
    char pattern[] = "/tmp/parvox-fuzz-writer-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0) std::abort();
    ::close(fd);
    path_ = pattern;
  }
  ~ScratchFile() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const std::string& scratch_path() {
  static ScratchFile file;
  return file.path();
}

Entries read_back_all(const std::string& path, const std::string& password) {
  Entries entries;
  std::string why;
  if (!read_back::read_all(path, password, &entries, &why)) std::abort();
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  const uint8_t settings = input.byte();
  const std::string password = settings & 1 ? "pw" : "";
  const size_t threads = 1 + settings / 2 % 4;
  const bool large_unsized = settings & 8;
  ZipWriter::Settings writer_settings{password, threads};
  writer_settings.level = input.byte() % 10;
  writer_settings.comment = input.bytes(input.byte() % 8);
  if (!zip_writer::archive_comment_refusal(writer_settings.comment).empty()) {
    writer_settings.comment.clear();
  }

  Entries written;
  bool large_taken = false;
  fsutil::File file = fsutil::File::create(scratch_path());
  {
    std::unique_ptr<ZipWriter> writer =
        ZipWriter::start(file, writer_settings);
    if (!writer) std::abort();
    while (!input.empty() && written.size() < 32) {
      std::string name = name_from(input);
      if (input.byte() % 4 == 0) {
        name += '/';
        if (!writer->add_folder(name)) std::abort();
        written.emplace_back(name, "");
        continue;
      }
      if (name.back() == '/') name += 'f';  // a file's name never ends like a folder's
      const std::string content = data_from(input, &large_taken);
      const size_t piece = 1 + input.byte() * 4099;
      const bool unsized = large_unsized && content.size() > compressors::kWholeBufferBound;
      const int64_t size = unsized ? zip_writer::kUnknownSize : static_cast<int64_t>(content.size());
      const uint8_t level = input.byte();
      zip_writer::EntryOptions options;
      if (level < 100) options.level = level % 10;
      options.comment = input.bytes(level % 4);
      if (!writer->open_file(name, size, zip_writer::kUndatedFile, options)) std::abort();
      for (size_t at = 0; at < content.size(); at += piece) {
        if (!writer->write(content.data() + at, std::min(piece, content.size() - at))) std::abort();
      }
      if (!writer->close_file()) std::abort();
      written.emplace_back(name, content);
    }
    if (!writer->finish()) std::abort();
  }
  file.close();
  if (read_back_all(scratch_path(), password) != written) std::abort();
  return 0;
}
