# Sourced by script/windows: libarchive for either toolchain.

# Raise when build_libarchive changes, so the cache is rebuilt.
libarchive_recipe=1

# A cmake toolchain file for cross-compiling with the mingw-w64 toolchain
# whose tools are named $2-gcc, $2-g++ and so on.
write_cmake_toolchain() {
  local file=$1 tools=$2
  cat >"$file" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $tools-gcc)
set(CMAKE_CXX_COMPILER $tools-g++)
set(CMAKE_RC_COMPILER $tools-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$tools)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
}

# libarchive $2 from Debian 12's source package as a static library in cache
# folder $1, with deflate from zlib and AES, HMAC and PBKDF2 from Windows' CNG
# (bcrypt); nothing else. Built with toolchain $3 (a compiler prefix; see
# run_with) against the static zlib in folder $4, or else Debian's mingw zlib.
build_libarchive() {
  local prefix=$1 version=$2 toolchain=$3 zlib=${4:-} work=$1.work
  say "building libarchive $version for $toolchain (a few minutes, once)"
  local src
  src=$(fetch_source "libarchive=$version" bookworm "$work")
  if [ -z "$zlib" ]; then
    zlib=$work/zlib
    static_zlib "$zlib"
  fi
  # libarchive looks for <Bcrypt.h>; mingw ships <bcrypt.h> and this file
  # system is case-sensitive. Without the header, AES is silently left out.
  mkdir -p "$work/shim"
  echo '#include <bcrypt.h>' >"$work/shim/Bcrypt.h"
  write_cmake_toolchain "$work/toolchain.cmake" "$toolchain"
  local off
  off=($(libarchive_left_out) -DENABLE_NETTLE=OFF)
  # ZLIB_WINAPI is pre-set: cmake's run-test of it cannot run when cross-compiling.
  run_with "$toolchain" "$work" cmake -S "$src" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_FLAGS="-I$work/shim" -DBUILD_SHARED_LIBS=OFF \
    -DENABLE_ZLIB=ON -DENABLE_CNG=ON "${off[@]}" -DPOSIX_REGEX_LIB=NONE \
    -DZLIB_LIBRARY="$zlib/lib/libz.a" -DZLIB_INCLUDE_DIR="$zlib/include" \
    -DZLIB_WINAPI=OFF -DZLIB_WINAPI_WITH_LIB="$zlib/lib/libz.a" \
    >"$work/configure.log" 2>&1 || die "configuring libarchive failed: $work/configure.log"
  grep -q '^#define HAVE_BCRYPT_H 1' "$work/build/config.h" ||
    die "libarchive's configuration did not find bcrypt.h: it would have no AES"
  run_with "$toolchain" "$work" cmake --build "$work/build" --target archive_static >"$work/build.log" 2>&1 ||
    die "building libarchive failed: $work/build.log"
  local lib=$work/build/libarchive/libarchive_static.a
  run_with "$toolchain" "$work" "$toolchain-nm" "$lib" 2>/dev/null | grep -c ' U BCryptDeriveKeyPBKDF2$' >/dev/null ||
    die "the built libarchive does not use CNG's PBKDF2: no AES"

  # Only static libraries in lib/, so -larchive and -lz cannot pick a DLL.
  new_library_folder "$prefix"
  cp "$lib" "$prefix/lib/libarchive.a"
  cp "$zlib/lib/libz.a" "$prefix/lib/"
  cp "$src/libarchive/archive.h" "$src/libarchive/archive_entry.h" "$prefix/include/"
  write_pkg_config "$prefix" libarchive "${version%%-*}" "libarchive $version, static, for $toolchain (zlib, CNG)" \
    "-larchive -lz -lbcrypt" " -DLIBARCHIVE_STATIC"
  rm -rf "$work"
}
