// The floor any zip tool stands on: only the work that adding or extracting
// cannot avoid, single-threaded, with zlib directly.
//
//   limit add FOLDER         reads every file beneath FOLDER and runs it
//                            through raw deflate (level 6, windowBits -15,
//                            memLevel 8) and CRC-32; nothing is written
//   limit extract ZIP FOLDER reads the entries listed in ZIP's central
//                            directory, inflates them (or copies stored ones),
//                            checks their CRC-32 and writes them beneath FOLDER
//
// Both print what they handled ("files N bytes N") so the benchmark can check
// that the limit did the same work as the tools measured against it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kBufferSize = 256 * 1024;

struct Totals {
  uint64_t files = 0;
  uint64_t bytes = 0;
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "limit: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

// ---- adding ------------------------------------------------------------------

class Deflater {
 public:
  Deflater() : in_(kBufferSize), out_(kBufferSize) {
    std::memset(&z_, 0, sizeof z_);
    if (deflateInit2(&z_, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) fail("deflateInit2");
  }
  ~Deflater() { deflateEnd(&z_); }

  void file(const std::string& path, Totals& totals) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(path);
    struct stat st;
    if (::fstat(fd, &st) != 0) fail(path);
    deflateReset(&z_);
    uLong crc = crc32(0, nullptr, 0);
    for (;;) {
      const ssize_t got = ::read(fd, in_.data(), in_.size());
      if (got < 0) fail(path);
      crc = crc32(crc, in_.data(), static_cast<uInt>(got));
      z_.next_in = in_.data();
      z_.avail_in = static_cast<uInt>(got);
      const int flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
      int status;
      do {
        z_.next_out = out_.data();
        z_.avail_out = static_cast<uInt>(out_.size());
        status = deflate(&z_, flush);
      } while (z_.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
      totals.bytes += static_cast<uint64_t>(got);
      if (got == 0) break;
    }
    ::close(fd);
    ++totals.files;
    sink_ ^= crc;  // keeps the CRC from being optimised away
  }

  uLong sink() const { return sink_; }

 private:
  z_stream z_;
  std::vector<Bytef> in_, out_;
  uLong sink_ = 0;
};

void add_folder(const std::string& folder, Deflater& deflater, Totals& totals) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) fail(folder);
  std::vector<std::string> files, folders;
  while (const dirent* item = ::readdir(dir)) {
    if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0) continue;
    if (item->d_type == DT_DIR) folders.push_back(folder + "/" + item->d_name);
    if (item->d_type == DT_REG) files.push_back(folder + "/" + item->d_name);
  }
  ::closedir(dir);
  for (const std::string& f : files) deflater.file(f, totals);
  for (const std::string& f : folders) add_folder(f, deflater, totals);
}

// ---- extracting --------------------------------------------------------------

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void read_at(int fd, void* buffer, size_t n, off_t offset) {
  if (::pread(fd, buffer, n, offset) != static_cast<ssize_t>(n)) fail("short read of the archive");
}

struct Entry {
  std::string name;
  uint16_t method;
  uint32_t crc;
  uint64_t compressed;
  uint64_t size;
  uint64_t local_offset;
};

// The central directory, from the end record (archives under 4 GiB, no zip64).
std::vector<Entry> central_directory(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) fail("stat of the archive");
  const size_t tail = static_cast<size_t>(std::min<off_t>(st.st_size, 65557));
  std::vector<unsigned char> end(tail);
  read_at(fd, end.data(), tail, st.st_size - static_cast<off_t>(tail));
  size_t at = tail - 22;
  while (at > 0 && le32(&end[at]) != 0x06054b50) --at;
  if (le32(&end[at]) != 0x06054b50) fail("no end record");
  const uint32_t cd_size = le32(&end[at + 12]), cd_offset = le32(&end[at + 16]);
  std::vector<unsigned char> cd(cd_size);
  read_at(fd, cd.data(), cd_size, cd_offset);
  std::vector<Entry> entries;
  for (size_t p = 0; p + 46 <= cd.size() && le32(&cd[p]) == 0x02014b50;) {
    const uint16_t name_len = le16(&cd[p + 28]), extra_len = le16(&cd[p + 30]),
                   comment_len = le16(&cd[p + 32]);
    entries.push_back({std::string(reinterpret_cast<const char*>(&cd[p + 46]), name_len),
                       le16(&cd[p + 10]), le32(&cd[p + 16]), le32(&cd[p + 20]), le32(&cd[p + 24]),
                       le32(&cd[p + 42])});
    p += 46 + name_len + extra_len + comment_len;
  }
  return entries;
}

void make_parents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0777);
  }
}

class Inflater {
 public:
  Inflater() : in_(kBufferSize), out_(kBufferSize) {
    std::memset(&z_, 0, sizeof z_);
    if (inflateInit2(&z_, -15) != Z_OK) fail("inflateInit2");
  }
  ~Inflater() { inflateEnd(&z_); }

  void entry(int zip, const Entry& e, const std::string& root, Totals& totals) {
    const std::string path = root + "/" + e.name;
    if (!e.name.empty() && e.name.back() == '/') {
      if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        make_parents(path);
        ::mkdir(path.c_str(), 0777);
      }
      return;
    }
    unsigned char local[30];
    read_at(zip, local, sizeof local, static_cast<off_t>(e.local_offset));
    off_t at = static_cast<off_t>(e.local_offset + 30 + le16(local + 26) + le16(local + 28));
    int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0 && errno == ENOENT) {
      make_parents(path);
      out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    if (out < 0) fail(path);
    uLong crc = crc32(0, nullptr, 0);
    uint64_t left = e.compressed;
    if (e.method == 8) inflateReset(&z_);
    while (left > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, in_.size()));
      read_at(zip, in_.data(), n, at);
      at += static_cast<off_t>(n);
      left -= n;
      if (e.method == 0) {
        crc = crc32(crc, in_.data(), static_cast<uInt>(n));
        put(out, in_.data(), n, path);
        continue;
      }
      z_.next_in = in_.data();
      z_.avail_in = static_cast<uInt>(n);
      int status;
      do {
        z_.next_out = out_.data();
        z_.avail_out = static_cast<uInt>(out_.size());
        status = inflate(&z_, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
          errno = EINVAL;
          fail(path);
        }
        const size_t produced = out_.size() - z_.avail_out;
        crc = crc32(crc, out_.data(), static_cast<uInt>(produced));
        put(out, out_.data(), produced, path);
      } while (status != Z_STREAM_END && (z_.avail_in > 0 || z_.avail_out == 0));
    }
    if (crc != e.crc) {
      errno = EINVAL;
      fail("CRC mismatch in " + path);
    }
    if (::close(out) != 0) fail(path);
    ++totals.files;
    totals.bytes += e.size;
  }

 private:
  static void put(int fd, const Bytef* data, size_t n, const std::string& path) {
    while (n > 0) {
      const ssize_t put = ::write(fd, data, n);
      if (put < 0) fail(path);
      data += put;
      n -= static_cast<size_t>(put);
    }
  }

  z_stream z_;
  std::vector<Bytef> in_, out_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  Totals totals;
  if (mode == "add" && argc == 3) {
    Deflater deflater;
    add_folder(argv[2], deflater, totals);
    std::printf("files %llu bytes %llu crc %lx\n", static_cast<unsigned long long>(totals.files),
                static_cast<unsigned long long>(totals.bytes), deflater.sink());
    return 0;
  }
  if (mode == "extract" && argc == 4) {
    const int zip = ::open(argv[2], O_RDONLY | O_CLOEXEC);
    if (zip < 0) fail(argv[2]);
    ::mkdir(argv[3], 0777);
    Inflater inflater;
    for (const Entry& e : central_directory(zip)) inflater.entry(zip, e, argv[3], totals);
    std::printf("files %llu bytes %llu\n", static_cast<unsigned long long>(totals.files),
                static_cast<unsigned long long>(totals.bytes));
    return 0;
  }
  std::fprintf(stderr, "usage: limit add FOLDER | limit extract ZIP FOLDER\n");
  return 2;
}
