# Sourced by script/windows: the UCRT Rubies (x64-mingw-ucrt), built with the
# UCRT toolchain in the Debian 13 root (roots.sh).

# Raise when build_ucrt_ruby changes, so the cache is rebuilt.
ucrt_ruby_recipe=2

# The UCRT Rubies the gem holds a parvox.so for, newest first; for each, the
# Debian source package (=version where pinned) and suite it is built from,
# and the base Ruby (as seen in the root) that runs its build scripts: Debian
# 13's own ruby3.3, and for 3.1 the host's (Debian 12) through a chroot back
# to the host's file system. Ruby 3.4 is only in experimental, which lists
# newer versions than its mirrors serve: its version is pinned.
# PARVOX_UCRT_RUBIES builds the gem for some of them only (script/test: CI
# builds 3.4 alone).
ucrt_rubies=(${PARVOX_UCRT_RUBIES:-3.4 3.3 3.1})
declare -A ucrt_ruby_source=([3.4]="ruby3.4=3.4.5-1~exp1 experimental" [3.3]="ruby3.3 trixie"
                             [3.1]="ruby3.1 bookworm")
declare -A ucrt_base_ruby=([3.4]=/usr/bin/ruby3.3 [3.3]=/usr/bin/ruby3.3 [3.1]=host:/usr/bin/ruby3.1)

# What names Ruby $1's source in its cache folder: the pinned Debian version,
# else the suite.
ucrt_ruby_source_tag() {
  local package suite
  read -r package suite <<<"${ucrt_ruby_source[$1]}"
  case $package in
    *=*) echo "${package#*=}" ;;
    *) echo "$suite" ;;
  esac
}

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

# Ruby $2 for x64-mingw-ucrt into cache folder $1, linked against the UCRT
# zlib in $3, without the extensions nothing here uses or that need libraries
# Debian has no mingw build of, with minitest from the host's ruby-minitest.
build_ucrt_ruby() {
  local prefix=$1 minor=$2 zlib=$3 work=$1.work package suite src
  read -r package suite <<<"${ucrt_ruby_source[$minor]}"
  say "building Ruby $minor for Windows (UCRT; about 15 minutes, once)"
  src=$(fetch_ruby_source "$package" "$suite" "$work")
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
  run_with $t "$work/build" "$src/configure" --build=x86_64-pc-linux-gnu \
    --host=x86_64-w64-mingw32 --target=x86_64-w64-mingw32 "${tools[@]}" \
    --prefix="$prefix" --with-baseruby="$work/base-ruby" --enable-shared \
    --disable-install-doc --disable-install-rdoc --disable-jit-support --disable-yjit --without-gmp \
    "${ruby_build_flags[@]}" '--with-out-ext=+,openssl,fiddle,psych,readline,gdbm,dbm,win32ole,ripper,nkf,bigdecimal,racc,-test-*' \
    --with-zlib-dir="$zlib" >"$work/configure.log" 2>&1 ||
    die "configuring Ruby $minor failed: $work/configure.log"
  [ -f "$work/build/.ext/include/x64-mingw-ucrt/ruby/config.h" ] ||
    die "Ruby $minor was not configured for x64-mingw-ucrt: $work/configure.log"
  # The gems Ruby bundles (rake, debug, rbs, …) are left out: nothing here
  # uses them, and a cross-build cannot build their extensions.
  make_windows_ruby "$prefix" $t "$minor" INSTRUBY_OPTS=--exclude=bundled-gems
  # Ruby 3.4 takes clock_gettime from the toolchain's winpthread DLL, which
  # goes beside it, as RubyInstaller's Rubies have it.
  if "$host-objdump" -p "$prefix"/bin/x64-ucrt-ruby*.dll | grep -q 'DLL Name: libwinpthread-1.dll'; then
    cp "$ucrt_root/usr/$t/lib/libwinpthread-1.dll" "$prefix/bin/"
  fi
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
