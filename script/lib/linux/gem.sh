# Sourced by script/linux-gem: pkg/parvox-1.0.0-x86_64-linux.gem, a parvox.so
# per Ruby of linux_rubies in lib/parvox/<minor>/ and lib/parvox.rb, which
# loads the one for the running Ruby.

build_linux_gem() {
  local stage=$build/gem minor requirement built=
  prepare_libraries
  rm -rf "$stage"
  mkdir -p "$stage/lib"
  cp -r lib/. "$stage/lib/"
  for minor in "${linux_rubies[@]}"; do
    linux_ruby "$minor"
    build_linux_extension "$ruby_command" "$build/$minor" "$built"
    built=$build/$minor
    mkdir -p "$stage/lib/parvox/$minor"
    # Without the debugging sections: a seventh of the size.
    strip --strip-debug -o "$stage/lib/parvox/$minor/parvox.so" "$build/$minor/parvox.so"
  done
  mapfile -t requirement < <(ruby_requirement "${linux_rubies[@]}")
  package_gem "$stage" x86_64-linux "$gem_file" "${requirement[@]}"
}
