# Sourced by script/linux-gem: zlib, libdeflate, ISA-L, nettle and libarchive as
# static libraries compiled with -fPIC, to be linked into parvox.so, from
# Debian 12's source packages of the versions the machine's own -dev packages
# have. Cached in a folder per version of their ingredients:
#   zlib-<version>-r<n>-<id>, libdeflate-…, libisal-…, nettle-…,
#   libarchive-<version>-r<n>-nettle<version>-<id>
# <n> the number of the recipe (raised when it changes) and <id> the versions
# of the compiler and the C library (linux_toolchain_id).

toolchain=x86_64-linux-gnu
library_cflags=-fPIC

linux_toolchain_id() { echo "gcc$(package_version gcc-12)-glibc$(package_version libc6-dev)"; }

# The Linux toolchain is the host's own.
run_with() {
  local dir=$2; shift 2
  (cd "$dir" && "$@")
}

# Raise when build_nettle changes, so the cache is rebuilt.
nettle_recipe=2

# nettle $2 (AES, HMAC, PBKDF2 for Parvox and libarchive) from Debian 12's
# source package as a static library in cache folder $1: without the public
# key half (libhogweed, which needs GMP), and "fat", as Debian builds it:
# AES-NI and the SHA extensions chosen when it is loaded, on CPUs that have
# them.
build_nettle() {
  local prefix=$1 version=$2 work=$1.work src
  say "building nettle $version (once)"
  src=$(fetch_source "nettle=$version" bookworm "$work")
  new_library_folder "$prefix"
  (
    cd "$src"
    ./configure --prefix="$prefix" --enable-fat --disable-public-key --disable-shared \
      --disable-documentation --disable-openssl CFLAGS="-O2 $library_cflags" &&
      make -j"$(nproc)" libnettle.a && make install-headers
  ) >"$work/build.log" 2>&1 || die "building nettle failed: $work/build.log"
  cp "$src/libnettle.a" "$prefix/lib/"
  write_pkg_config "$prefix" nettle "${version%%-*}" "nettle $version, static, fat" "-lnettle"
  rm -rf "$work"
}

# Raise when build_linux_libarchive changes, so the cache is rebuilt.
linux_libarchive_recipe=2

# libarchive $2 from Debian 12's source package as a static library in cache
# folder $1, with deflate from the static zlib in folder $3 and AES, HMAC and
# PBKDF2 from the static nettle in folder $4; nothing else, as on Windows.
build_linux_libarchive() {
  local prefix=$1 version=$2 zlib=$3 nettle=$4 work=$1.work src off
  say "building libarchive $version (a few minutes, once)"
  src=$(fetch_source "libarchive=$version" bookworm "$work")
  off=($(libarchive_left_out) -DENABLE_CNG=OFF)
  cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_SHARED_LIBS=OFF \
    -DENABLE_ZLIB=ON -DENABLE_NETTLE=ON "${off[@]}" \
    -DZLIB_LIBRARY="$zlib/lib/libz.a" -DZLIB_INCLUDE_DIR="$zlib/include" \
    -DNETTLE_LIBRARY="$nettle/lib/libnettle.a" -DNETTLE_INCLUDE_DIR="$nettle/include" \
    >"$work/configure.log" 2>&1 || die "configuring libarchive failed: $work/configure.log"
  grep -q '^#define HAVE_LIBNETTLE 1' "$work/build/config.h" &&
    grep -q '^#define HAVE_NETTLE_PBKDF2_H 1' "$work/build/config.h" ||
    die "libarchive's configuration did not take nettle: it would have no AES"
  cmake --build "$work/build" --target archive_static >"$work/build.log" 2>&1 ||
    die "building libarchive failed: $work/build.log"
  new_library_folder "$prefix"
  cp "$work/build/libarchive/libarchive.a" "$prefix/lib/libarchive.a"
  cp "$src/libarchive/archive.h" "$src/libarchive/archive_entry.h" "$prefix/include/"
  write_pkg_config "$prefix" libarchive "${version%%-*}" "libarchive $version, static (zlib, nettle)" \
    "-larchive" " -DLIBARCHIVE_STATIC"
  # The two it links, found by their own .pc files beside this one.
  echo "Requires: nettle zlib" >>"$prefix/lib/pkgconfig/libarchive.pc"
  rm -rf "$work"
}

# Sets library_prefixes: the cache folders of the five static libraries,
# building what the cache lacks.
prepare_libraries() {
  local id zlib_version libdeflate_version isal_version nettle_version libarchive_version
  local zlib libdeflate isal nettle libarchive
  id=$(linux_toolchain_id)
  zlib_version=$(package_version zlib1g-dev)
  libdeflate_version=$(package_version libdeflate-dev)
  isal_version=$(package_version libisal-dev)
  nettle_version=$(package_version nettle-dev)
  libarchive_version=$(package_version libarchive-dev)
  zlib=$cache/zlib-${zlib_version#*:}-r$zlib_recipe-$id
  libdeflate=$cache/libdeflate-$libdeflate_version-r$libdeflate_recipe-$id
  isal=$cache/libisal-$isal_version-r$isal_recipe-$id
  nettle=$cache/nettle-$nettle_version-r$nettle_recipe-$id
  libarchive=$cache/libarchive-$libarchive_version-r$linux_libarchive_recipe-nettle$nettle_version-$id
  # Runs that build the same libraries wait for each other.
  mkdir -p "$cache"
  exec 8>"$cache/.lock"
  flock 8
  [ -f "$zlib/lib/libz.a" ] || build_zlib "$zlib" "$zlib_version" $toolchain
  [ -f "$libdeflate/lib/libdeflate.a" ] || build_libdeflate "$libdeflate" "$libdeflate_version" $toolchain
  [ -f "$isal/lib/libisal.a" ] || build_isal "$isal" "$isal_version" $toolchain
  [ -f "$nettle/lib/libnettle.a" ] || build_nettle "$nettle" "$nettle_version"
  [ -f "$libarchive/lib/libarchive.a" ] || build_linux_libarchive "$libarchive" "$libarchive_version" "$zlib" "$nettle"
  flock -u 8
  library_prefixes=("$libarchive" "$libdeflate" "$isal" "$nettle" "$zlib")
}
