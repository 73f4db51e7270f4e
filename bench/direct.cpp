// libarchive called directly, and no Ruby. Adding runs libarchive's own zip
// writer (a peer: Parvox writes archives itself) at the level Parvox deflates
// with; extracting runs libarchive's streaming reader over the whole archive
// (Parvox leaves it the methods its own decoder does not take): a peer that
// pays no Ruby start-up.
//
//   direct add FOLDER ARCHIVE NAME [PASSWORD]   deflate level 6 (AES-256 with
//                                               a password), 1 MiB blocks,
//                                               files before sub-folders
//   direct extract ARCHIVE FOLDER [PASSWORD]    every entry beneath FOLDER
//   direct kdf COUNT                            COUNT WinZip AES-256 key
//                                               derivations alone (PBKDF2-
//                                               HMAC-SHA1, 1000 iterations,
//                                               66 bytes), through the same
//                                               library libarchive uses
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// From libnettle, which libarchive links for its encryption.
extern "C" void nettle_pbkdf2_hmac_sha1(size_t key_length, const uint8_t* key,
                                        unsigned iterations, size_t salt_length,
                                        const uint8_t* salt, size_t length, uint8_t* dst);

namespace {

constexpr size_t kBlock = 1 << 20;

[[noreturn]] void fail(const std::string& what, archive* a = nullptr) {
  std::fprintf(stderr, "direct: %s: %s\n", what.c_str(),
               a && archive_error_string(a) ? archive_error_string(a) : std::strerror(errno));
  std::exit(1);
}

void add_entry(archive* a, archive_entry* e, const std::string& name, unsigned type, int64_t size) {
  archive_entry_clear(e);
  archive_entry_set_pathname(e, name.c_str());
  archive_entry_set_filetype(e, type);
  archive_entry_set_perm(e, type == AE_IFDIR ? 0755 : 0644);
  archive_entry_set_size(e, size);
  archive_entry_set_mtime(e, 315532800, 0);
  if (archive_write_header(a, e) < ARCHIVE_WARN) fail("header " + name, a);
}

void add_folder(archive* a, archive_entry* e, std::vector<char>& buffer, const std::string& path,
                const std::string& name) {
  add_entry(a, e, name + "/", AE_IFDIR, 0);
  archive_write_finish_entry(a);
  DIR* dir = ::opendir(path.c_str());
  if (!dir) fail(path);
  std::vector<std::string> files, folders;
  while (const dirent* item = ::readdir(dir)) {
    if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0) continue;
    (item->d_type == DT_DIR ? folders : files).push_back(item->d_name);
  }
  ::closedir(dir);
  for (const std::string& f : files) {
    const std::string source = path + "/" + f;
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) fail(source);
    add_entry(a, e, name + "/" + f, AE_IFREG, st.st_size);
    for (;;) {
      const ssize_t got = ::read(fd, buffer.data(), buffer.size());
      if (got < 0) fail(source);
      if (got == 0) break;
      if (archive_write_data(a, buffer.data(), static_cast<size_t>(got)) != got) fail(source, a);
    }
    ::close(fd);
    archive_write_finish_entry(a);
  }
  for (const std::string& f : folders) add_folder(a, e, buffer, path + "/" + f, name + "/" + f);
}

int add(const char* folder, const char* path, const char* name, const char* password) {
  archive* a = archive_write_new();
  std::string options = "zip:compression=deflate,zip:compression-level=6";
  if (password) options += ",zip:encryption=aes256";
  if (archive_write_set_format_zip(a) != ARCHIVE_OK ||
      archive_write_set_options(a, options.c_str()) != ARCHIVE_OK ||
      (password && archive_write_set_passphrase(a, password) != ARCHIVE_OK) ||
      archive_write_set_bytes_per_block(a, kBlock) != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(a, 1) != ARCHIVE_OK ||
      archive_write_open_filename(a, path) != ARCHIVE_OK) {
    fail(path, a);
  }
  archive_entry* e = archive_entry_new();
  std::vector<char> buffer(kBlock);
  add_folder(a, e, buffer, folder, name);
  archive_entry_free(e);
  if (archive_write_close(a) != ARCHIVE_OK) fail(path, a);
  archive_write_free(a);
  return 0;
}

int extract(const char* path, const std::string& root, const char* password) {
  const int zip = ::open(path, O_RDONLY | O_CLOEXEC);
  if (zip < 0) fail(path);
  archive* a = archive_read_new();
  if (archive_read_support_format_zip_seekable(a) != ARCHIVE_OK ||
      (password && archive_read_add_passphrase(a, password) != ARCHIVE_OK) ||
      archive_read_open_fd(a, zip, kBlock) != ARCHIVE_OK) {
    fail(path, a);
  }
  archive_entry* e;
  while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
    const std::string target = root + "/" + archive_entry_pathname(e);
    for (size_t slash = target.find('/', 1); slash != std::string::npos;
         slash = target.find('/', slash + 1)) {
      ::mkdir(target.substr(0, slash).c_str(), 0777);
    }
    if (archive_entry_filetype(e) == AE_IFDIR) continue;
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) fail(target);
    const void* block;
    size_t size;
    la_int64_t offset;
    int status;
    while ((status = archive_read_data_block(a, &block, &size, &offset)) == ARCHIVE_OK) {
      if (::write(out, block, size) != static_cast<ssize_t>(size)) fail(target);
    }
    if (status != ARCHIVE_EOF) fail(target, a);
    ::close(out);
  }
  archive_read_free(a);
  return 0;
}

int kdf(long count) {
  uint8_t salt[16] = {}, key[66];
  const char password[] = "bench-password";
  for (long i = 0; i < count; ++i) {
    std::memcpy(salt, &i, sizeof i);
    nettle_pbkdf2_hmac_sha1(sizeof password - 1, reinterpret_cast<const uint8_t*>(password), 1000,
                            sizeof salt, salt, sizeof key, key);
  }
  std::printf("%ld key derivations, last byte %02x\n", count, key[65]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "add" && (argc == 5 || argc == 6)) {
    return add(argv[2], argv[3], argv[4], argc == 6 ? argv[5] : nullptr);
  }
  if (mode == "extract" && (argc == 4 || argc == 5)) {
    ::mkdir(argv[3], 0777);
    return extract(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
  }
  if (mode == "kdf" && argc == 3) return kdf(std::strtol(argv[2], nullptr, 10));
  std::fprintf(stderr,
               "usage: direct add FOLDER ARCHIVE NAME [PASSWORD] | "
               "direct extract ARCHIVE FOLDER [PASSWORD] | direct kdf COUNT\n");
  return 2;
}
