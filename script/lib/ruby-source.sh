# Shared by the scripts that build a Ruby from Debian's source package
# (script/ruby34, script/windows). Source it after script/lib/debian-archive.sh;
# it defines functions only.

# What the Rubies built here are configured with beyond their defaults. They
# run the tests and lend their headers to parvox.so, which is compiled with
# its own flags, and nothing ships them: -O1 and no debugging information
# (stripped afterwards anyway) make their builds shorter.
ruby_build_flags=(optflags=-O1 debugflags=)

# Fetches Debian source package $1 (optionally =version) of suite $2 into
# folder $3 (see fetch_source) with an empty build folder beside it; prints
# the source folder. Debian's patches touch configure.ac (for x32 and
# Debian's host names, nothing built here uses): the shipped configure
# serves, without autoconf.
fetch_ruby_source() {
  local src
  src=$(fetch_source "$1" "$2" "$3")
  touch "$src/configure"
  mkdir -p "$3/build"
  echo "$src"
}

# Copies the pure-Ruby bundled gems named $3… from Ruby source folder $1
# (Debian's source keeps them unpacked in .bundle/) into gem folder $2. Ruby
# 3.4 moved csv, which the suite uses, from the default gems to the bundled
# ones; the bundled gems are otherwise left out (several have extensions).
install_bundled_gems() {
  local src=$1 gems=$2 name dir; shift 2
  mkdir -p "$gems/gems" "$gems/specifications"
  for name in "$@"; do
    dir=$(ls -d "$src/.bundle/gems/$name"-[0-9]* 2>/dev/null | sort -V | tail -n 1)
    [ -n "$dir" ] && [ -f "$src/.bundle/specifications/$(basename "$dir").gemspec" ] ||
      die "$src has no bundled gem $name"
    cp -r "$dir" "$gems/gems/"
    cp "$src/.bundle/specifications/$(basename "$dir").gemspec" "$gems/specifications/"
  done
}
