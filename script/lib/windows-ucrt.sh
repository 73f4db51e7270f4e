# Sourced by script/windows: the Universal C Runtime (UCRT) toolchain, which
# the Windows Rubies from 3.1 on are built with. Debian 12's mingw-w64 is
# built for msvcrt (its libstdc++ and libgcc too); Debian 13 ships a UCRT
# cross compiler, but it needs Debian 13's C library. So it runs in a Debian
# 13 root made with debootstrap from the machine's own Debian mirror and kept
# in the cache. Builds run in that root (in_root), seeing the work tree and
# the cache at their usual paths; the host's Ruby 3.1 is reachable from there
# as the base Ruby for building the Windows Ruby 3.1.

ucrt_host=x86_64-w64-mingw32ucrt
ucrt_root_suite=trixie  # Debian 13
# Raise when the root's package list changes.
ucrt_root_recipe=1
ucrt_root=$cache/debian13-root-r$ucrt_root_recipe
# What builds run with in the root: the compilers, cmake and Ruby 3.3, the
# base Ruby for the Windows Ruby 3.3.
ucrt_root_packages=(g++-mingw-w64-ucrt64 cmake ninja-build make pkgconf ruby3.3 xz-utils)

# The Debian 13 root, made once (about 2 minutes, 600 MB).
prepare_ucrt_root() {
  [ -f "$ucrt_root/.ready" ] && return 0
  local work=$ucrt_root.work mirror
  command -v debootstrap >/dev/null || die "debootstrap is missing (run script/setup)"
  mirror=$(host_mirrors | awk '$1 == "main" { print $2; exit }')
  [ -n "$mirror" ] || die "found no Debian mirror in /etc/apt/sources.list{,.d}"
  say "making a Debian 13 root for the UCRT toolchain (a few minutes, once)"
  rm -rf "$work"
  debootstrap --variant=minbase "$ucrt_root_suite" "$work" "$mirror" >"$ucrt_root.log" 2>&1 ||
    die "debootstrap failed: $ucrt_root.log"
  cp /etc/resolv.conf "$work/etc/resolv.conf"
  ucrt_root_dir=$work in_root_at / sh -c \
    "apt-get -qq update && DEBIAN_FRONTEND=noninteractive apt-get -qq install -y --no-install-recommends ${ucrt_root_packages[*]} && apt-get clean" \
    >>"$ucrt_root.log" 2>&1 || die "installing the UCRT toolchain in the Debian 13 root failed: $ucrt_root.log"
  rm -rf "$ucrt_root"
  mv "$work" "$ucrt_root"
  touch "$ucrt_root/.ready"
}

# Runs a command in the Debian 13 root, in folder $1. In there the work tree,
# the cache, /proc and /dev are the host's, and the host's whole file system
# is at /host; the mounts vanish with the command.
in_root_at() {
  local dir=$1; shift
  [ "$(id -u)" -eq 0 ] || die "the UCRT toolchain runs in a chroot of its own: this needs root"
  unshare -m --propagation private /bin/sh -c '
    set -e
    root=$1 dir=$2 top=$3 cache=$4; shift 4
    for d in /proc /dev /dev/pts "$top" "$cache"; do
      mkdir -p "$root$d"
      mount --bind "$d" "$root$d"
    done
    # After the others: the host seen from the root holds the root as seen
    # from the host, mounts and all.
    mkdir -p "$root/host"
    mount --rbind / "$root/host"
    exec chroot "$root" /usr/bin/env -C "$dir" PATH=/usr/local/bin:/usr/bin:/bin TMPDIR=/tmp "$@"
  ' in_root "${ucrt_root_dir:-$ucrt_root}" "$dir" "$top" "$cache" "$@"
}

# ---- the libraries, one function each, for a toolchain named by its compiler
# prefix ----------------------------------------------------------------------

# Runs a command in folder $2 where toolchain $1's programs run: the host for
# Debian 12's mingw-w64, the Debian 13 root for the UCRT one.
run_with() {
  local toolchain=$1 dir=$2; shift 2
  if [ "$toolchain" = "$ucrt_host" ]; then
    in_root_at "$dir" "$@"
  else
    (cd "$dir" && "$@")
  fi
}

# zlib from Debian 12's source package as a static library: its own build
# files want a native compiler, and the library is fifteen C files.
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
  rm -rf "$prefix"
  mkdir -p "$prefix/lib/pkgconfig" "$prefix/include"
  cp "$src/libz.a" "$prefix/lib/"
  cp "$src/zlib.h" "$src/zconf.h" "$prefix/include/"
  cat >"$prefix/lib/pkgconfig/zlib.pc" <<PC
prefix=$prefix
Name: zlib
Description: zlib $version, static, for $toolchain
Version: $(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/\1/p' "$src/zlib.h")
Cflags: -I\${prefix}/include
Libs: -L\${prefix}/lib -lz
PC
  rm -rf "$work"
}

# libdeflate from Debian 12's source package (its Makefile knows mingw) as a
# static library.
build_libdeflate() {
  local prefix=$1 version=$2 toolchain=$3 work=$1.work src
  say "building libdeflate $version for $toolchain (once)"
  src=$(fetch_source "libdeflate=$version" bookworm "$work")
  run_with "$toolchain" "$src" make -j"$(nproc)" CC="$toolchain-gcc" AR="$toolchain-ar" libdeflatestatic.lib \
    >"$work/build.log" 2>&1 || die "building libdeflate failed: $work/build.log"
  rm -rf "$prefix"
  mkdir -p "$prefix/lib/pkgconfig" "$prefix/include"
  cp "$src/libdeflatestatic.lib" "$prefix/lib/libdeflate.a"
  cp "$src/libdeflate.h" "$prefix/include/"
  cat >"$prefix/lib/pkgconfig/libdeflate.pc" <<PC
prefix=$prefix
Name: libdeflate
Description: libdeflate $version, static, for $toolchain
Version: ${version%%-*}
Cflags: -I\${prefix}/include
Libs: -L\${prefix}/lib -ldeflate
PC
  rm -rf "$work"
}

# ---- the Windows Rubies ------------------------------------------------------

# The UCRT Rubies the gem holds a parvox.so for, newest first; for each, the
# Debian source package and suite it is built from, and the base Ruby (as seen
# in the root) that runs its build scripts: Debian 13's own ruby3.3, and for
# 3.1 the host's (Debian 12) through a chroot back to the host's file system.
ucrt_rubies=(3.3 3.1)
declare -A ucrt_ruby_source=([3.3]="ruby3.3 trixie" [3.1]="ruby3.1 bookworm")
declare -A ucrt_base_ruby=([3.3]=/usr/bin/ruby3.3 [3.1]=host:/usr/bin/ruby3.1)

# Writes an executable at $1 that runs Ruby $2 (see ucrt_base_ruby) from the
# root. The host's Ruby finds the UCRT toolchain's programs (which Ruby's
# build scripts and mkmf run) on its PATH, in folder $1.tools, as commands
# that run them back in the root.
write_base_ruby() {
  local file=$1 ruby=$2 tool
  case $ruby in
    host:*)
      rm -rf "$file.tools"
      mkdir -p "$file.tools"
      for tool in gcc g++ cpp ar ranlib nm objdump objcopy strip dllwrap dlltool ld as windres; do
        printf '#!/bin/sh\nexec /usr/sbin/chroot %s /usr/bin/env -C "$(pwd)" PATH=/usr/local/bin:/usr/bin:/bin %s "$@"\n' \
          "$ucrt_root" "$ucrt_host-$tool" >"$file.tools/$ucrt_host-$tool"
        chmod +x "$file.tools/$ucrt_host-$tool"
      done
      printf '#!/bin/sh\nexec /usr/sbin/chroot /host /usr/bin/env -C "$(pwd)" PATH=%s:/usr/local/bin:/usr/bin:/bin %s "$@"\n' \
        "$file.tools" "${ruby#host:}" >"$file" ;;
    *) printf '#!/bin/sh\nexec %s "$@"\n' "$ruby" >"$file" ;;
  esac
  chmod +x "$file"
}

# Ruby $2 for x64-mingw-ucrt, linked against the UCRT zlib in $3, without the
# extensions nothing here uses or that need libraries Debian has no mingw
# build of, with minitest from the host's ruby-minitest.
build_ucrt_ruby() {
  local prefix=$1 minor=$2 zlib=$3 work=$1.work package suite src
  read -r package suite <<<"${ucrt_ruby_source[$minor]}"
  say "building Ruby $minor for Windows (UCRT; about 15 minutes, once)"
  src=$(fetch_source "$package" "$suite" "$work")
  touch "$src/configure"  # as for 2.7: Debian's patches touch configure.ac only
  patch_pioinfo_for_wine "$src/win32/win32.c"
  write_base_ruby "$work/base-ruby" "${ucrt_base_ruby[$minor]}"
  # Ruby names its platform x64-mingw-ucrt (as RubyInstaller's) only for the
  # host os mingw32 with a UCRT compiler: the tools are named, not derived
  # from --host. No stack protector: it would need libssp-0.dll beside Ruby
  # and every extension built with its flags.
  local t=$ucrt_host tools=()
  tools=(CC="$t-gcc" CXX="$t-g++" CPP="$t-gcc -E" AR="$t-ar" RANLIB="$t-ranlib" NM="$t-nm"
         OBJDUMP="$t-objdump" OBJCOPY="$t-objcopy" STRIP="$t-strip" DLLWRAP="$t-dllwrap"
         DLLTOOL="$t-dlltool" LD="$t-ld" AS="$t-as" WINDRES="$t-windres" stack_protector=no)
  local windres="$t-windres --preprocessor=$t-gcc --preprocessor-arg=-E --preprocessor-arg=-xc -DRC_INVOKED"
  mkdir -p "$work/build"
  run_with $t "$work/build" "$src/configure" --build=x86_64-pc-linux-gnu \
    --host=x86_64-w64-mingw32 --target=x86_64-w64-mingw32 "${tools[@]}" \
    --prefix="$prefix" --with-baseruby="$work/base-ruby" --enable-shared \
    --disable-install-doc --disable-install-rdoc --disable-jit-support --disable-yjit --without-gmp \
    '--with-out-ext=+,openssl,fiddle,psych,readline,gdbm,dbm,win32ole,ripper,nkf,bigdecimal,racc,-test-*' \
    --with-zlib-dir="$zlib" >"$work/configure.log" 2>&1 ||
    die "configuring Ruby $minor failed: $work/configure.log"
  [ -f "$work/build/.ext/include/x64-mingw-ucrt/ruby/config.h" ] ||
    die "Ruby $minor was not configured for x64-mingw-ucrt: $work/configure.log"
  run_with $t "$work/build" make -j"$(nproc)" WINDRES="$windres" >"$work/build.log" 2>&1 ||
    die "building Ruby $minor failed: $work/build.log"
  rm -rf "$prefix"
  # Debian's RubyGems hook would otherwise install into the base Ruby's gem
  # folder. The gems Ruby bundles (rake, debug, rbs, …) are left out: nothing
  # here uses them, and a cross-build cannot build their extensions.
  run_with $t "$work/build" env DEBIAN_DISABLE_RUBYGEMS_INTEGRATION=1 make install WINDRES="$windres" \
    INSTRUBY_OPTS=--exclude=bundled-gems >"$work/install.log" 2>&1 ||
    die "installing Ruby $minor failed: $work/install.log"
  local binaries
  mapfile -t binaries < <(find "$prefix" -name '*.dll' -o -name '*.exe' -o -name '*.so')
  run_with $t / "$t-strip" --strip-debug "${binaries[@]}"
  install_minitest "$(ls -d "$prefix"/lib/ruby/gems/*/)"
  basename "$(ls "$work"/*.dsc)" .dsc >"$prefix/.source"
  rm -rf "$work"
}

# Ruby finds the C runtime's table of open files by reading the machine code
# of ucrtbase's _isatty; Wine's _isatty is other code, and Ruby stops with
# "unexpected ucrtbase.dll". For the Ruby that runs the tests under Wine only
# (the gem is built against the unpatched headers and import library): where
# Ruby's scan fails, the table's address is taken from the first
# "lea rcx,[rip+X]" of Wine's _isatty. Wine's table entries have the native
# layout, which Ruby's own check of the entry size then confirms.
patch_pioinfo_for_wine() {
  local file=$1
  grep -q '^    fprintf(stderr, "unexpected " UCRTBASE "\\n");$' "$file" ||
    die "$file: no place for the Wine fallback of set_pioinfo_extra"
  sed -i '/^    fprintf(stderr, "unexpected " UCRTBASE "\\n");$/i\
    for (pend = p; p \&\& pend < p + 100; pend++) {\
        if (memcmp(pend, "\\x48\\x8d\\x0d", 3) == 0) {\
            p = pend;\
            goto found;\
        }\
    }' "$file"
}

# ---- the toolchain as a whole --------------------------------------------------

ucrt_zlib_recipe=1
ucrt_libdeflate_recipe=1
ucrt_libarchive_recipe=1
ucrt_ruby_recipe=1

ucrt_toolchain_id() {
  local admin=$ucrt_root/var/lib/dpkg
  echo "ucrt-gcc$(dpkg-query --admindir="$admin" -W -f='${Version}' g++-mingw-w64-ucrt64)-crt$(dpkg-query --admindir="$admin" -W -f='${Version}' mingw-w64-ucrt64-dev)"
}

# Sets ucrt_libarchive_prefix, ucrt_libdeflate_prefix and ucrt_ruby_prefix
# (by Ruby minor version), building what the cache lacks. A lock of its own:
# the msvcrt toolchain and this one build side by side.
declare -A ucrt_ruby_prefix
prepare_ucrt_toolchain() {
  mkdir -p "$cache"
  exec 7>"$cache/.lock-ucrt"
  flock 7
  prepare_ucrt_root
  local id zlib_version libdeflate_version libarchive_version zlib_prefix minor
  id=$(ucrt_toolchain_id)
  # The same releases as the Linux build and the msvcrt toolchain use.
  zlib_version=$(package_version zlib1g-dev)
  libdeflate_version=$(package_version libdeflate-dev)
  libarchive_version=$(package_version libarchive-dev)
  zlib_prefix=$cache/zlib-${zlib_version#*:}-r$ucrt_zlib_recipe-$id
  ucrt_libdeflate_prefix=$cache/libdeflate-$libdeflate_version-r$ucrt_libdeflate_recipe-$id
  ucrt_libarchive_prefix=$cache/libarchive-$libarchive_version-r$ucrt_libarchive_recipe-$id
  [ -f "$zlib_prefix/lib/libz.a" ] || build_zlib "$zlib_prefix" "$zlib_version" $ucrt_host
  [ -f "$ucrt_libdeflate_prefix/lib/libdeflate.a" ] ||
    build_libdeflate "$ucrt_libdeflate_prefix" "$libdeflate_version" $ucrt_host
  [ -f "$ucrt_libarchive_prefix/lib/libarchive.a" ] ||
    build_libarchive "$ucrt_libarchive_prefix" "$libarchive_version" $ucrt_host "$zlib_prefix"
  for minor in "${ucrt_rubies[@]}"; do
    ucrt_ruby_prefix[$minor]=$cache/ruby$minor-${ucrt_ruby_source[$minor]#* }-r$ucrt_ruby_recipe-$id
    [ -x "${ucrt_ruby_prefix[$minor]}/bin/ruby.exe" ] ||
      build_ucrt_ruby "${ucrt_ruby_prefix[$minor]}" "$minor" "$zlib_prefix"
  done
  flock -u 7
}
