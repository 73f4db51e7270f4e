# Shared by script/ruby34 and script/linux-gem: Ruby 3.4, which no Debian
# release has as a binary for this machine, built from Debian's source package
# (experimental suite), fetched with a private apt state (debian-archive.sh
# and ruby-source.sh, sourced first), once (about 15 minutes) into a cache
# folder per Debian version and recipe:
#   ${PARVOX_LINUX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/parvox/linux}/ruby3.4-<debian version>-r<n>
# Later runs need no network. Only what the extension and the suite use is
# built: no documentation, and of the bundled gems only minitest and csv.
# Source it; it defines functions and ruby34_prefix. The sourcing script
# defines say and die.

# experimental also lists newer versions whose files its mirrors do not
# serve: the version is pinned.
ruby34_debian_version=3.4.5-1~exp1
# Raise when build_ruby34 changes, so the cache is rebuilt.
ruby34_recipe=2
ruby34_cache=${PARVOX_LINUX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/parvox/linux}
ruby34_prefix=$ruby34_cache/ruby3.4-$ruby34_debian_version-r$ruby34_recipe

# Ruby 3.4 into $ruby34_prefix, built in $ruby34_prefix.work by the host's
# Ruby (3.1) as base Ruby, without the extensions nothing here uses.
build_ruby34() {
  local prefix=$ruby34_prefix work=$ruby34_prefix.work src
  say "building Ruby 3.4 from Debian's ruby3.4 $ruby34_debian_version (about 15 minutes, once)"
  src=$(fetch_ruby_source "ruby3.4=$ruby34_debian_version" experimental "$work")
  (
    cd "$work/build"
    "$src/configure" --prefix="$prefix" --with-baseruby=/usr/bin/ruby --enable-shared \
      --disable-install-doc --disable-install-rdoc --disable-jit-support --disable-yjit --without-gmp \
      "${ruby_build_flags[@]}" '--with-out-ext=+,openssl,fiddle,readline,gdbm,dbm,win32ole,ripper,nkf,bigdecimal,racc,-test-*' \
      >"$work/configure.log" 2>&1 || die "configuring Ruby 3.4 failed: $work/configure.log"
    make -j"$(nproc)" >"$work/build.log" 2>&1 || die "building Ruby 3.4 failed: $work/build.log"
    rm -rf "$prefix"
    # Debian's RubyGems hook would otherwise install into the base Ruby's gem
    # folder; the bundled gems come below.
    DEBIAN_DISABLE_RUBYGEMS_INTEGRATION=1 make install INSTRUBY_OPTS=--exclude=bundled-gems \
      >"$work/install.log" 2>&1 || die "installing Ruby 3.4 failed: $work/install.log"
  )
  install_bundled_gems "$src" "$(ls -d "$prefix"/lib/ruby/gems/*/)" minitest csv
  basename "$(ls "$work"/*.dsc)" .dsc >"$prefix/.source"
  rm -rf "$work"
}

# Builds Ruby 3.4 into the cache unless it is there. One build at a time: the
# cache folder and the build folder are shared.
prepare_ruby34() {
  mkdir -p "$ruby34_cache"
  exec 6>"$ruby34_cache/.lock-ruby3.4"
  flock 6
  [ -x "$ruby34_prefix/bin/ruby" ] || build_ruby34
  flock -u 6
}
