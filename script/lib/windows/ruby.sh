# Sourced by script/windows: what building each Windows Ruby shares. Its stage
# (ruby27.sh, ruby_ucrt.sh) fetches the source with fetch_ruby_source
# (script/lib/ruby-source.sh) and configures it; make_windows_ruby builds and
# installs it.

# Builds the Ruby configured in the build folder of $1.work with toolchain $2
# and installs it into $1, strips its debug information and adds minitest;
# $3 names the Ruby in messages, further arguments go to `make
# install`.
make_windows_ruby() {
  local prefix=$1 toolchain=$2 name=$3 work=$1.work binaries; shift 3
  # Newer binutils cannot run windres' default preprocessor.
  local windres="$toolchain-windres --preprocessor=$toolchain-gcc --preprocessor-arg=-E --preprocessor-arg=-xc -DRC_INVOKED"
  run_with "$toolchain" "$work/build" make -j"$(nproc)" WINDRES="$windres" >"$work/build.log" 2>&1 ||
    die "building Ruby $name failed: $work/build.log"
  rm -rf "$prefix"
  # Debian's RubyGems hook would otherwise install into the base Ruby's gem
  # folder.
  run_with "$toolchain" "$work/build" env DEBIAN_DISABLE_RUBYGEMS_INTEGRATION=1 make install WINDRES="$windres" "$@" \
    >"$work/install.log" 2>&1 || die "installing Ruby $name failed: $work/install.log"
  mapfile -t binaries < <(find "$prefix" -name '*.dll' -o -name '*.exe' -o -name '*.so')
  run_with "$toolchain" / "$toolchain-strip" --strip-debug "${binaries[@]}"
  local src gems
  src=$(dirname "$(ls -d "$work"/*/debian)")
  gems=$(ls -d "$prefix"/lib/ruby/gems/*/)
  if grep -q '^csv ' "$src/gems/bundled_gems"; then
    # Ruby 3.4 made csv, which the suite uses, a bundled gem, and no longer
    # has mutex_m, which the host's older minitest needs: its own bundled
    # minitest and csv.
    install_bundled_gems "$src" "$gems" minitest csv
  else
    install_minitest "$gems"
  fi
  basename "$(ls "$work"/*.dsc)" .dsc >"$prefix/.source"  # the Debian version it came from
  rm -rf "$work"
}

# Installs the host's minitest (Debian package ruby-minitest) into gem folder $1.
install_minitest() {
  local gems=$1 minitest
  minitest=$(ls -d /usr/share/rubygems-integration/all/gems/minitest-* | sort -V | tail -n 1)
  [ -d "$minitest" ] || die "minitest is missing (Debian package ruby-minitest; run script/setup)"
  mkdir -p "$gems/gems" "$gems/specifications"
  cp -r "$minitest" "$gems/gems/"
  cp "/usr/share/rubygems-integration/all/specifications/$(basename "$minitest").gemspec" "$gems/specifications/"
}
