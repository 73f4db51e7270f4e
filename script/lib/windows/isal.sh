# Sourced by script/windows: ISA-L for either toolchain, which inflates large
# entries.

# Raise when build_isal changes, so the cache is rebuilt.
isal_recipe=1

# ISA-L $2 from Debian 12's source package as a static library in cache folder
# $1, built with toolchain $3: its deflate part only (with the CRCs it uses),
# by its plain makefile, which knows mingw, the assembly by nasm.
build_isal() {
  local prefix=$1 version=$2 toolchain=$3 work=$1.work src
  say "building ISA-L $version for $toolchain (once)"
  src=$(fetch_source "libisal=$version" bookworm "$work")
  run_with "$toolchain" "$src" make -f Makefile.unx -j"$(nproc)" arch=mingw units=igzip CC="$toolchain-gcc" \
    AR="$toolchain-ar" AS=nasm lib >"$work/build.log" 2>&1 || die "building ISA-L failed: $work/build.log"
  new_library_folder "$prefix"
  mkdir -p "$prefix/include/isa-l"
  cp "$src/bin/isa-l.a" "$prefix/lib/libisal.a"
  cp "$src/include/igzip_lib.h" "$prefix/include/isa-l/"
  write_pkg_config "$prefix" libisal "${version%%-*}" "ISA-L $version, static, for $toolchain" "-lisal"
  rm -rf "$work"
}
