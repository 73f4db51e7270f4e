// Parvox::Entry: a Struct of what the directory says of an entry (name,
// size, folder, encrypted, mtime, compressed_size, crc32, method,
// encryption, comment, mode, symlink), with folder?, encrypted? and symlink?
// beside the members; to_h is the Struct's.
#include "ext/entry.h"

#include <cstdint>
#include <ctime>

#include "archive/unix_mode.h"
#include "archive/winzip_aes.h"
#include "archive/zip_format.h"

namespace {

VALUE entry_class = Qnil;

// call-seq: entry.folder? -> true or false
VALUE entry_folder_p(VALUE self) { return rb_struct_aref(self, INT2FIX(2)); }

// call-seq: entry.encrypted? -> true or false
VALUE entry_encrypted_p(VALUE self) { return rb_struct_aref(self, INT2FIX(3)); }

// call-seq: entry.symlink? -> true or false
VALUE entry_symlink_p(VALUE self) { return rb_struct_aref(self, INT2FIX(11)); }

VALUE symbol(const char* name) { return ID2SYM(rb_intern(name)); }

// The compression methods known by name; any other is its number.
struct MethodName {
  uint16_t method;
  const char* name;
};
constexpr MethodName kMethodNames[] = {
    {0, "stored"}, {1, "shrunk"}, {6, "imploded"}, {8, "deflated"}, {9, "deflate64"},
    {12, "bzip2"}, {14, "lzma"},  {93, "zstd"},    {95, "xz"},      {96, "jpeg"},
    {97, "wavpack"}, {98, "ppmd"},
};

VALUE method_of(uint16_t method) {
  for (const MethodName& known : kMethodNames) {
    if (known.method == method) return symbol(known.name);
  }
  return INT2FIX(method);
}

// WinZip AES by its key size (:aes where its field is missing or damaged);
// else the flags' traditional (ZipCrypto) or strong encryption.
VALUE encryption_of(const DirectoryEntry& entry, const winzip_aes::Field* aes) {
  if (!entry.info.is_encrypted) return Qnil;
  if (aes) return symbol(aes->key_size == 16 ? "aes128" : aes->key_size == 24 ? "aes192" : "aes256");
  if (entry.method == zip_format::kMethodWinZipAes) return symbol("aes");
  return symbol(entry.flags & zip_format::kFlagStrongEncryption ? "strong" : "zipcrypto");
}

VALUE bool_value(bool value) { return value ? Qtrue : Qfalse; }

}  // namespace

namespace entry {

// The name is its text, as read and unzip_file take it; nil for a name with
// no form as text (no String could name it). The method of a WinZip AES
// entry (one that is encrypted) is the one its data was compressed with.
VALUE make(const DirectoryEntry& entry) {
  const auto& info = entry.info;
  winzip_aes::Field aes;
  const bool has_aes = info.is_encrypted && entry.method == zip_format::kMethodWinZipAes &&
                       winzip_aes::parse_field(entry.aes_field, &aes);
  const uint32_t type = info.unix_mode & unix_mode::kTypeBits;
  VALUE members[] = {
      info.name_ok ? rb_utf8_str_new(info.name.data(), static_cast<long>(info.name.size())) : Qnil,
      LL2NUM(info.size),
      bool_value(info.is_folder),
      bool_value(info.is_encrypted),
      rb_time_new(static_cast<time_t>(info.mtime), 0),
      LL2NUM(entry.compressed_size),
      UINT2NUM(entry.crc),
      method_of(has_aes ? aes.method : entry.method),
      encryption_of(entry, has_aes ? &aes : nullptr),
      entry.comment.empty()
          ? Qnil
          : rb_utf8_str_new(entry.comment.data(), static_cast<long>(entry.comment.size())),
      info.made_on_unix ? UINT2NUM(info.unix_mode & unix_mode::kModeBits) : Qnil,
      bool_value(info.made_on_unix && type == unix_mode::kSymlink),
  };
  return rb_class_new_instance(static_cast<int>(sizeof members / sizeof members[0]), members,
                               entry_class);
}

void define_class(VALUE parvox) {
  entry_class = rb_struct_define_under(parvox, "Entry", "name", "size", "folder", "encrypted",
                                       "mtime", "compressed_size", "crc32", "method", "encryption",
                                       "comment", "mode", "symlink", nullptr);
  rb_gc_register_mark_object(entry_class);
  rb_define_method(entry_class, "folder?", RUBY_METHOD_FUNC(entry_folder_p), 0);
  rb_define_method(entry_class, "encrypted?", RUBY_METHOD_FUNC(entry_encrypted_p), 0);
  rb_define_method(entry_class, "symlink?", RUBY_METHOD_FUNC(entry_symlink_p), 0);
}

}  // namespace entry
