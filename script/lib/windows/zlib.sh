# Sourced by script/windows: zlib for each toolchain, static, so that nothing
# links zlib1.dll. The msvcrt toolchain has Debian 12's libz-mingw-w64; the
# UCRT one builds its own from Debian 12's source package.

# Raise when build_zlib changes, so the cache is rebuilt.
zlib_recipe=1

# A folder $1 holding only mingw's static zlib (libz-mingw-w64): given to
# builds that must not find the DLL import library.
static_zlib() {
  local dir=$1
  mkdir -p "$dir/lib" "$dir/include"
  cp /usr/$host/lib/libz.a "$dir/lib/"
  cp /usr/$host/include/zlib.h /usr/$host/include/zconf.h "$dir/include/"
}

# zlib $2 from Debian 12's source package as a static library in cache folder
# $1, built with toolchain $3: its own build files want a native compiler, and
# the library is fifteen C files.
build_zlib() {
  local prefix=$1 version=$2 toolchain=$3 work=$1.work src
  say "building zlib $version for $toolchain (once)"
  src=$(fetch_source "zlib=$version" bookworm "$work")
  run_with "$toolchain" "$src" sh -c '
    set -e
    for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate inftrees trees uncompr zutil; do
      "$1-gcc" -O2 -c "$f.c"
    done
    "$1-ar" rcs libz.a *.o
  ' sh "$toolchain" >"$work/build.log" 2>&1 || die "building zlib failed: $work/build.log"
  new_library_folder "$prefix"
  cp "$src/libz.a" "$prefix/lib/"
  cp "$src/zlib.h" "$src/zconf.h" "$prefix/include/"
  write_pkg_config "$prefix" zlib "$(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/\1/p' "$src/zlib.h")" \
    "zlib $version, static, for $toolchain" "-lz"
  rm -rf "$work"
}
