# Shared by script/windows and script/linux-gem: building parvox.so for
# several Rubies, and packing a precompiled gem.
# Source it; it defines functions only (the sourcing script defines say and
# top, the work tree).

# Packs the files in folder $1 as the platform gem $3 for platform $2, for
# the Rubies of requirement $4…
package_gem() {
  local stage=$1 platform=$2 file=$3; shift 3
  cp README.md LICENSE "$stage/"
  mkdir -p "$top/pkg"
  (
    cd "$stage"
    /usr/bin/ruby -rrubygems/package -e '
      spec = Gem::Specification.load(ARGV.shift)
      spec.platform = Gem::Platform.new(ARGV.shift)
      file = ARGV.shift
      spec.required_ruby_version = ARGV
      spec.extensions = []
      spec.files = Dir["**/*"].select { |f| File.file?(f) }.sort
      Gem::DefaultUserInteraction.ui = Gem::SilentUI.new
      File.rename(Gem::Package.build(spec), file)
    ' "$top/parvox.gemspec" "$platform" "$file" "$@" >/dev/null
  )
  say "wrote ${file#$top/}"
}

# The requirement of a gem holding a parvox.so per Ruby minor version $@ (in
# lib/parvox/<minor>/), a part a line. A requirement is met only when all its
# parts are, so it cannot leave a gap: a Ruby between the oldest and the
# newest held is let in, and lib/parvox.rb answers it with the Rubies the gem
# holds.
ruby_requirement() {
  local sorted
  sorted=($(printf '%s\n' "$@" | sort -V))
  echo ">= ${sorted[0]}"
  echo "< ${sorted[-1]%.*}.$(( ${sorted[-1]#*.} + 1 )).dev"
}

# The compiler and the flags it makes objects with in Makefile $1, without
# the folder names that only the debugging information holds.
object_flags() {
  grep -E '^(CXX|CPPFLAGS|cppflags|CXXFLAGS|CCDLFLAGS|ARCH_FLAG) = ' "$1" | sed 's/-ffile-prefix-map=[^ ]*//g'
}

# Copies into build folder $2 the objects of archive/ and fsutil/, which
# include nothing of Ruby, from build folder $1 of another Ruby, when both
# compile with the same flags: they are then not compiled again. Sources
# named *$3.cpp are the other platform's.
reuse_objects() {
  local from=$1 to=$2 other=$3 source
  [ -n "$from" ] && [ "$(object_flags "$from/Makefile")" = "$(object_flags "$to/Makefile")" ] || return 0
  for source in $(find "$top/archive" "$top/fsutil" -name '*.cpp' ! -name "*$other.cpp"); do
    source=${source##*/}
    cp "$from/${source%.cpp}.o" "$to/"
  done
}
