# Sourced by script/windows: libdeflate for either toolchain.

# Raise when build_libdeflate changes, so the cache is rebuilt.
libdeflate_recipe=1

# libdeflate $2 from Debian 12's source package (its Makefile knows mingw) as
# a static library in cache folder $1, built with toolchain $3.
build_libdeflate() {
  local prefix=$1 version=$2 toolchain=$3 work=$1.work src
  say "building libdeflate $version for $toolchain (once)"
  src=$(fetch_source "libdeflate=$version" bookworm "$work")
  run_with "$toolchain" "$src" make -j"$(nproc)" CC="$toolchain-gcc" AR="$toolchain-ar" libdeflatestatic.lib \
    >"$work/build.log" 2>&1 || die "building libdeflate failed: $work/build.log"
  new_library_folder "$prefix"
  cp "$src/libdeflatestatic.lib" "$prefix/lib/libdeflate.a"
  cp "$src/libdeflate.h" "$prefix/include/"
  write_pkg_config "$prefix" libdeflate "${version%%-*}" "libdeflate $version, static, for $toolchain" "-ldeflate"
  rm -rf "$work"
}
