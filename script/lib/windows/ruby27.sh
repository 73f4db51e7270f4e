# Sourced by script/windows: Ruby 2.7 for Windows, built with the msvcrt
# toolchain (as Ruby 2.7's own Windows builds are).

# Raise when build_ruby27 changes, so the cache is rebuilt.
ruby27_recipe=2
ruby27_suite=bullseye  # Debian 11: the last with Ruby 2.7

# Ruby 2.7 into cache folder $1, without the extensions that have no mingw
# libraries in Debian (openssl, fiddle, readline, gdbm, dbm), with minitest
# from the host's ruby-minitest.
build_ruby27() {
  local prefix=$1 work=$1.work src
  say "building Ruby 2.7 for Windows (about 15 minutes, once)"
  src=$(fetch_ruby_source ruby2.7 "$ruby27_suite" "$work")
  static_zlib "$work/zlib"
  run_with $host "$work/build" "$src/configure" --build=x86_64-pc-linux-gnu --host=$host --target=$host \
    --prefix="$prefix" --with-baseruby=/usr/bin/ruby --enable-shared \
    --disable-install-doc --disable-jit-support "${ruby_build_flags[@]}" \
    '--with-out-ext=+,openssl,readline,gdbm,dbm,fiddle,-test-*' \
    --with-zlib-dir="$work/zlib" >"$work/configure.log" 2>&1 ||
    die "configuring Ruby 2.7 failed: $work/configure.log"
  make_windows_ruby "$prefix" $host 2.7
}
