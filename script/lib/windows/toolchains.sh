# Sourced by script/windows: the two toolchains' static libraries and Windows
# Rubies, built once from Debian's source packages and then taken from the
# cache, a folder per version of their ingredients:
#   msvcrt (Ruby 2.7): libarchive-<release>-r<n>-<id>, libdeflate-…, libisal-…,
#                      ruby2.7-bullseye-…
#   UCRT (3.4, 3.3, 3.1): debian13-root-r<n>, then zlib-…, libdeflate-…,
#                      libisal-…, libarchive-…, ruby3.4-3.4.5-1~exp1-…,
#                      ruby3.3-trixie-…, ruby3.1-bookworm-…
# <release> is the Debian version the Linux build uses, <n> the number of the
# recipe (in its stage file, raised when the recipe changes) and <id> the
# versions of the toolchain's compiler and C runtime (roots.sh).

# package_version and the library folders: ../static-libraries.sh; fetch_source:
# ../debian-archive.sh.

# Sets libarchive_prefix, libdeflate_prefix, isal_prefix and ruby_prefix: the
# msvcrt toolchain's (Debian 12's mingw-w64) parts, building what the cache
# lacks.
prepare_toolchain() {
  local id libarchive_version libdeflate_version isal_version
  id=$(toolchain_id)
  # The same libarchive, libdeflate and ISA-L releases as the Linux build uses.
  libarchive_version=$(package_version libarchive-dev)
  libdeflate_version=$(package_version libdeflate-dev)
  isal_version=$(package_version libisal-dev)
  libarchive_prefix=$cache/libarchive-$libarchive_version-r$libarchive_recipe-$id
  libdeflate_prefix=$cache/libdeflate-$libdeflate_version-r$libdeflate_recipe-$id
  isal_prefix=$cache/libisal-$isal_version-r$isal_recipe-$id
  ruby_prefix=$cache/ruby2.7-$ruby27_suite-r$ruby27_recipe-$id
  # Runs that build the same toolchain wait for each other.
  mkdir -p "$cache"
  exec 8>"$cache/.lock"
  flock 8
  [ -f "$libarchive_prefix/lib/libarchive.a" ] || build_libarchive "$libarchive_prefix" "$libarchive_version" $host
  [ -f "$libdeflate_prefix/lib/libdeflate.a" ] ||
    build_libdeflate "$libdeflate_prefix" "$libdeflate_version" $host
  [ -f "$isal_prefix/lib/libisal.a" ] || build_isal "$isal_prefix" "$isal_version" $host
  [ -x "$ruby_prefix/bin/ruby.exe" ] || build_ruby27 "$ruby_prefix"
  flock -u 8
}

# Sets ucrt_libarchive_prefix, ucrt_libdeflate_prefix, ucrt_isal_prefix and
# ucrt_ruby_prefix (by Ruby minor version): the UCRT toolchain's parts, built
# in the Debian 13 root, building what the cache lacks. A lock of its own: the msvcrt
# toolchain and this one build side by side.
declare -A ucrt_ruby_prefix
prepare_ucrt_toolchain() {
  mkdir -p "$cache"
  exec 7>"$cache/.lock-ucrt"
  flock 7
  prepare_ucrt_root
  local id zlib_version libdeflate_version isal_version libarchive_version zlib_prefix minor
  id=$(ucrt_toolchain_id)
  # The same releases as the Linux build and the msvcrt toolchain use.
  zlib_version=$(package_version zlib1g-dev)
  libdeflate_version=$(package_version libdeflate-dev)
  isal_version=$(package_version libisal-dev)
  libarchive_version=$(package_version libarchive-dev)
  zlib_prefix=$cache/zlib-${zlib_version#*:}-r$zlib_recipe-$id
  ucrt_libdeflate_prefix=$cache/libdeflate-$libdeflate_version-r$libdeflate_recipe-$id
  ucrt_isal_prefix=$cache/libisal-$isal_version-r$isal_recipe-$id
  ucrt_libarchive_prefix=$cache/libarchive-$libarchive_version-r$libarchive_recipe-$id
  [ -f "$zlib_prefix/lib/libz.a" ] || build_zlib "$zlib_prefix" "$zlib_version" $ucrt_host
  [ -f "$ucrt_libdeflate_prefix/lib/libdeflate.a" ] ||
    build_libdeflate "$ucrt_libdeflate_prefix" "$libdeflate_version" $ucrt_host
  [ -f "$ucrt_isal_prefix/lib/libisal.a" ] || build_isal "$ucrt_isal_prefix" "$isal_version" $ucrt_host
  [ -f "$ucrt_libarchive_prefix/lib/libarchive.a" ] ||
    build_libarchive "$ucrt_libarchive_prefix" "$libarchive_version" $ucrt_host "$zlib_prefix"
  for minor in "${ucrt_rubies[@]}"; do
    ucrt_ruby_prefix[$minor]=$cache/ruby$minor-$(ucrt_ruby_source_tag "$minor")-r$ucrt_ruby_recipe-$id
    [ -x "${ucrt_ruby_prefix[$minor]}/bin/ruby.exe" ] ||
      build_ucrt_ruby "${ucrt_ruby_prefix[$minor]}" "$minor" "$zlib_prefix"
  done
  flock -u 7
}
