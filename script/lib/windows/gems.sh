# Sourced by script/windows: the two platform gems, prebuilt (nothing to
# compile at install): pkg/parvox-1.0.0-x64-mingw32.gem, parvox.so for Ruby
# 2.7 in lib/ beside the Ruby parts, and pkg/parvox-1.0.0-x64-mingw-ucrt.gem,
# a parvox.so per UCRT Ruby in lib/parvox/<minor>/ and lib/parvox.rb, which
# loads the one for the running Ruby. package_gem: ../platform-gems.sh.

# The Ruby 2.7 gem, from the msvcrt toolchain (prepare_toolchain).
build_gem() {
  local stage=$build/gem
  build_extension "$ruby_prefix" $host /usr/bin/ruby "$build/ext" "" "$libarchive_prefix" "$libdeflate_prefix" "$isal_prefix"
  rm -rf "$stage"
  mkdir -p "$stage/lib"
  cp -r lib/. "$stage/lib/"
  cp "$build/ext/parvox.so" "$stage/lib/"
  package_gem "$stage" x64-mingw32 "$gem_file" ">= 2.7" "< 2.8"
}

# The x64-mingw-ucrt gem, from the UCRT toolchain (prepare_ucrt_toolchain).
build_ucrt_gem() {
  local stage=$build/ucrt/gem minor base_ruby built=
  rm -rf "$stage"
  mkdir -p "$stage/lib"
  cp -r lib/. "$stage/lib/"
  for minor in "${ucrt_rubies[@]}"; do
    base_ruby=$build/ucrt/base-ruby-$minor
    write_base_ruby "$base_ruby" "${ucrt_base_ruby[$minor]}"
    build_extension "${ucrt_ruby_prefix[$minor]}" $ucrt_host "$base_ruby" "$build/ucrt/$minor" "$built" \
      "$ucrt_libarchive_prefix" "$ucrt_libdeflate_prefix" "$ucrt_isal_prefix"
    built=$build/ucrt/$minor
    mkdir -p "$stage/lib/parvox/$minor"
    cp "$build/ucrt/$minor/parvox.so" "$stage/lib/parvox/$minor/"
  done
  # Ruby 3.2, between those held, is let in: see ruby_requirement.
  local requirement
  mapfile -t requirement < <(ruby_requirement "${ucrt_rubies[@]}")
  package_gem "$stage" x64-mingw-ucrt "$ucrt_gem_file" "${requirement[@]}"
}

# The Windows Ruby that `ruby` and `test` run (wine_ruby) and its gem
# (wine_gem): Ruby $1, one of windows_rubies, with the gem built again when
# its sources are newer.
windows_rubies=(2.7 "${ucrt_rubies[@]}")
use_windows_ruby() {
  local minor=$1 sources=(ext archive fsutil lib parvox.gemspec)
  case " ${windows_rubies[*]} " in
    *" $minor "*) ;;
    *) die "no Windows Ruby $minor: WINDOWS_RUBY is one of ${windows_rubies[*]}" ;;
  esac
  if [ "$minor" = 2.7 ]; then
    prepare_toolchain
    wine_ruby=$ruby_prefix wine_gem=$gem_file
  else
    prepare_ucrt_toolchain
    wine_ruby=${ucrt_ruby_prefix[$minor]} wine_gem=$ucrt_gem_file
    sources+=(script/lib/windows/ruby_ucrt.sh)
  fi
  if [ ! -f "$wine_gem" ] || [ -n "$(find "${sources[@]}" -newer "$wine_gem" -print -quit)" ]; then
    if [ "$minor" = 2.7 ]; then build_gem; else build_ucrt_gem; fi
  fi
}
