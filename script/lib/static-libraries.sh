# Shared by script/windows and script/linux-gem: Debian source packages
# fetched with fetch_source (debian-archive.sh, sourced first) and
# built as static libraries into cache folders, and the recipes that are the
# same on both: zlib, libdeflate and ISA-L. Source it; it defines functions only.
# The sourcing script defines say, die and run_with (where a toolchain's
# programs run: run_with TOOLCHAIN FOLDER COMMAND…); library_cflags, when set,
# are further flags for compiling the libraries (-fPIC for Linux).

package_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || die "$1 is missing (run script/setup)"; }

# An empty cache folder $1 for a static library: lib/ (with pkgconfig/) and
# include/.
new_library_folder() {
  rm -rf "$1"
  mkdir -p "$1/lib/pkgconfig" "$1/include"
}

# Writes lib/pkgconfig/$2.pc of the static library in cache folder $1:
# version $3, description $4, what to link $5, further compiler flags $6.
write_pkg_config() {
  local prefix=$1 name=$2 version=$3 description=$4 libs=$5 cflags=${6:-}
  cat >"$prefix/lib/pkgconfig/$name.pc" <<PC
prefix=$prefix
Name: $name
Description: $description
Version: $version
Cflags: -I\${prefix}/include$cflags
Libs: -L\${prefix}/lib $libs
PC
}

# Raise when build_zlib changes, so the caches are rebuilt.
zlib_recipe=1

# zlib $2 from Debian 12's source package as a static library in cache folder
# $1, built with toolchain $3 (a compiler prefix): its own build files want a
# native compiler, and the library is fifteen C files.
build_zlib() {
  local prefix=$1 version=$2 toolchain=$3 work=$1.work src
  say "building zlib $version for $toolchain (once)"
  src=$(fetch_source "zlib=$version" bookworm "$work")
  run_with "$toolchain" "$src" sh -c '
    set -e
    for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate inftrees trees uncompr zutil; do
      "$1-gcc" -O2 $2 -c "$f.c"
    done
    "$1-ar" rcs libz.a *.o
  ' sh "$toolchain" "${library_cflags:-}" >"$work/build.log" 2>&1 || die "building zlib failed: $work/build.log"
  new_library_folder "$prefix"
  cp "$src/libz.a" "$prefix/lib/"
  cp "$src/zlib.h" "$src/zconf.h" "$prefix/include/"
  write_pkg_config "$prefix" zlib "$(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/\1/p' "$src/zlib.h")" \
    "zlib $version, static, for $toolchain" "-lz"
  rm -rf "$work"
}

# Raise when build_libdeflate changes, so the caches are rebuilt.
libdeflate_recipe=1

# libdeflate $2 from Debian 12's source package (its Makefile knows mingw) as
# a static library in cache folder $1, built with toolchain $3.
build_libdeflate() {
  local prefix=$1 version=$2 toolchain=$3 work=$1.work src lib=libdeflate.a flags=()
  say "building libdeflate $version for $toolchain (once)"
  src=$(fetch_source "libdeflate=$version" bookworm "$work")
  case $toolchain in *mingw*) lib=libdeflatestatic.lib ;; esac
  [ -z "${library_cflags:-}" ] || flags=(CFLAGS="$library_cflags")
  run_with "$toolchain" "$src" make -j"$(nproc)" CC="$toolchain-gcc" AR="$toolchain-ar" "${flags[@]}" $lib \
    >"$work/build.log" 2>&1 || die "building libdeflate failed: $work/build.log"
  new_library_folder "$prefix"
  cp "$src/$lib" "$prefix/lib/libdeflate.a"
  cp "$src/libdeflate.h" "$prefix/include/"
  write_pkg_config "$prefix" libdeflate "${version%%-*}" "libdeflate $version, static, for $toolchain" "-ldeflate"
  rm -rf "$work"
}

# Raise when build_isal changes, so the caches are rebuilt.
isal_recipe=1

# ISA-L $2 (which inflates large entries) from Debian 12's source package as a
# static library in cache folder $1, built with toolchain $3: its deflate part
# only (with the CRCs it uses), by its plain makefile, which knows mingw, the
# assembly by nasm.
build_isal() {
  local prefix=$1 version=$2 toolchain=$3 work=$1.work src arch=
  say "building ISA-L $version for $toolchain (once)"
  src=$(fetch_source "libisal=$version" bookworm "$work")
  case $toolchain in *mingw*) arch=mingw ;; esac
  run_with "$toolchain" "$src" make -f Makefile.unx -j"$(nproc)" arch=$arch units=igzip CC="$toolchain-gcc" \
    AR="$toolchain-ar" AS=nasm "CFLAGS_$arch=-Wall ${library_cflags:-}" lib >"$work/build.log" 2>&1 ||
    die "building ISA-L failed: $work/build.log"
  new_library_folder "$prefix"
  mkdir -p "$prefix/include/isa-l"
  cp "$src/bin/isa-l.a" "$prefix/lib/libisal.a"
  cp "$src/include/igzip_lib.h" "$prefix/include/isa-l/"
  write_pkg_config "$prefix" libisal "${version%%-*}" "ISA-L $version, static, for $toolchain" "-lisal"
  rm -rf "$work"
}

# What libarchive is built without on every platform: Parvox reads with it
# the zip methods other than stored and deflated, and needs only zlib and
# each platform's AES, HMAC and PBKDF2 (added by the recipe) for that.
libarchive_left_out() {
  local option
  for option in OPENSSL MBEDTLS LIBB2 LZ4 LZO LZMA ZSTD BZip2 LIBXML2 EXPAT PCREPOSIX LIBGCC \
                XATTR ACL ICONV TEST TAR CPIO CAT WERROR; do
    echo "-DENABLE_$option=OFF"
  done
}
