# Sourced by script/linux-gem: parvox.so for each Linux Ruby, from the same
# sources and ext/extconf.rb as the source gem, against the static libraries.

# The Rubies the gem holds a parvox.so for, by minor version; linux_ruby
# finds each.
linux_rubies=(2.7 3.1 3.4)

# Sets ruby_command to a ruby command for Ruby minor version $1: Debian 11's
# Ruby 2.7 (script/ruby27's), the host's Ruby 3.1, or Ruby 3.4 built into
# the cache (script/ruby34's).
linux_ruby() {
  local minor=$1
  case $minor in
    # The lock prepare_ruby27 keeps guards script/ruby27's build folder, which
    # this does not use: script/ruby27 may run meanwhile.
    2.7) prepare_ruby27; flock -u 9; ruby_command=$ruby27 ;;
    3.1) ruby_command=/usr/bin/ruby ;;
    3.4) prepare_ruby34; ruby_command=$ruby34_prefix/bin/ruby ;;
    *) die "no recipe for Ruby $minor" ;;
  esac
  [ "$("$ruby_command" -e 'print RUBY_VERSION[/\A\d+\.\d+/]')" = "$minor" ] || die "$ruby_command is not Ruby $minor"
}

# The oldest glibc the gem runs on, as README.md states it ("glibc X.Y or
# newer"): no parvox.so may need a newer one.
stated_glibc() {
  local stated
  stated=$(grep -o 'glibc [0-9]*\.[0-9]* or newer' README.md | sort -u)
  [ "$(wc -l <<<"$stated")" -eq 1 ] && [ -n "$stated" ] ||
    die "README.md must state the Linux gem's oldest glibc once, as \"glibc X.Y or newer\""
  stated=${stated#glibc }
  echo "${stated% or newer}"
}

# The newest glibc symbol version parvox.so $1 references.
needed_glibc() {
  objdump -T "$1" | grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/^GLIBC_//' | sort -V | tail -n 1
}

# parvox.so $1 needs only the C library (the libraries Ruby itself loads
# included: not even libruby, so that Rubies built without a shared libruby
# load it too), exports only Init_parvox, and needs no newer glibc than
# README.md states.
check_extension() {
  local so=$1 needed bad exported glibc stated
  needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  bad=$(grep -v -E '^(libc|libm|libpthread|libdl|ld-linux-x86-64)\.so\.[0-9.]+$' <<<"$needed" || true)
  [ -z "$bad" ] || die "$so needs $(echo $bad), which must be linked in"
  exported=$(objdump -T "$so" | awk '$2 ~ /g/ && $4 != "*UND*" { print $NF }')
  [ "$exported" = Init_parvox ] || die "$so exports more than Init_parvox: $(echo $exported | head -c 300)"
  glibc=$(needed_glibc "$so")
  stated=$(stated_glibc)
  [ "$(printf '%s\n' "$glibc" "$stated" | sort -V | tail -n 1)" = "$stated" ] ||
    die "$so needs glibc $glibc, newer than the $stated README.md states"
}

# parvox.so into folder $2 for Ruby command $1, against the static libraries
# in the cache folders library_prefixes (prepare_libraries); with build
# folder $3 of another Ruby, its objects that Ruby's headers do not change.
build_linux_extension() {
  local ruby=$1 out=$2 reuse_from=${3:-} prefix pkg_config_dirs= lib_dirs=-L. version
  version=$("$ruby" -e 'print RUBY_VERSION')
  for prefix in "${library_prefixes[@]}"; do
    pkg_config_dirs+=$prefix/lib/pkgconfig:
    lib_dirs+=" -L$prefix/lib"
  done
  rm -rf "$out"
  mkdir -p "$out"
  # Only Init_parvox is exported: the static libraries' symbols stay inside,
  # so they never meet a shared libarchive or zlib another gem loaded.
  printf '{\n  global: Init_parvox;\n  local: *;\n};\n' >"$out/parvox.map"
  say "building parvox.so for Ruby $version"
  (
    cd "$out"
    export PKG_CONFIG_LIBDIR=${pkg_config_dirs%:} PKG_CONFIG_PATH=
    # Optimized whatever the Ruby was built with: mkmf compiles C++ with the
    # Ruby's own CXXFLAGS, which a Ruby built from its sources may leave empty.
    export PARVOX_CXXFLAGS="${PARVOX_CXXFLAGS:-} -O2 -Werror" PARVOX_ISAL=yes
    # Sections nothing uses are left out, and with them references to newer
    # glibc functions (libstdc++'s random_device to arc4random, glibc 2.36).
    export PARVOX_LDFLAGS="-static-libgcc -static-libstdc++ -Wl,--version-script=$out/parvox.map -Wl,--gc-sections"
    "$ruby" "$top/ext/extconf.rb" >"$out/extconf.log" 2>&1 ||
      { cat "$out/extconf.log" "$out/mkmf.log" >&2 2>/dev/null; die "ext/extconf.rb failed for Ruby $version"; }
    reuse_objects "$reuse_from" "$out" _windows
    # Ruby's symbols are found in the process that loads parvox.so, whether
    # its Ruby has a shared libruby or not. Without libruby, the linker needs
    # not look in Ruby's library folder (for a Debian Ruby the system's,
    # which holds shared libraries of the static ones' names) before the
    # cache's.
    make -s -j"$(nproc)" LIBRUBYARG= LIBRUBYARG_SHARED= LIBPATH="$lib_dirs" >"$out/make.log" 2>&1 ||
      { cat "$out/make.log" >&2; die "building parvox.so failed for Ruby $version"; }
  )
  check_extension "$out/parvox.so"
}
