# Sourced by script/windows: a Windows Ruby under Wine, with its gem
# installed in it.

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64

# A fresh Wine prefix for this run, removed again on exit. Wine's server and
# its helper processes inherit the output streams: started with all streams
# redirected, they never hold a caller's pipe open.
wine_start() {
  [ -x "$wine" ] || die "$wine is missing (Debian package wine64; run script/setup)"
  wine_prefix=$(mktemp -d "${TMPDIR:-/tmp}/parvox-wine.XXXXXX")
  export WINEPREFIX=$wine_prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap wine_stop EXIT
  "$wineserver" -p </dev/null >/dev/null 2>&1 || true
  "$wine" wineboot -i </dev/null >/dev/null 2>&1 || true
}

wine_stop() {
  [ -n "${wine_prefix:-}" ] || return 0
  "$wineserver" -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$wine_prefix"
  wine_prefix=
}

# Runs the Windows Ruby (use_windows_ruby) with the gem installed in a private
# gem folder.
windows_ruby() {
  GEM_HOME=Z:$gem_home "$wine" "$wine_ruby/bin/ruby.exe" "$@" </dev/null
}

# Installs the gem with RubyGems' installer. This Ruby has no openssl, and
# RubyGems 3.1 loads it whenever it writes a gem's specification, only to
# leave out a signing key (an OpenSSL::PKey::RSA), which this gem has none
# of. The installing process therefore counts openssl as loaded and gets an
# empty stand-in for that class, which no value is an instance of.
#
# The UCRT Rubies have no psych (Debian has no mingw libyaml), which the
# installer needs to read a gem's metadata: their gem is unpacked on Linux
# into the same layout, its files and its specification as Ruby code, and
# RubyGems of the Windows Ruby activates it by platform as any installed gem.
install_gem() {
  gem_home=$wine_prefix/gems
  mkdir -p "$gem_home"
  case $wine_gem in
    *-x64-mingw-ucrt.gem)
      /usr/bin/ruby -rfileutils -rrubygems/package -e '
        package = Gem::Package.new(ARGV[0])
        spec = package.spec
        package.extract_files(File.join(ARGV[1], "gems", spec.full_name))
        Dir.mkdir(File.join(ARGV[1], "specifications"))
        File.write(File.join(ARGV[1], "specifications", spec.spec_name), spec.to_ruby_for_cache)
      ' "$wine_gem" "$gem_home" ;;
    *)
      windows_ruby -e '
        unless defined?(OpenSSL)
          $LOADED_FEATURES << "openssl.rb"
          module OpenSSL; module PKey; class RSA; end; end; end
        end
        require "rubygems/installer"
        Gem::Installer.at(ARGV[0], install_dir: ENV["GEM_HOME"], document: []).install
      ' "$wine_gem" ;;
  esac >/dev/null || die "installing ${wine_gem#$top/} into the Windows Ruby failed"
}

# A fresh Wine prefix with the gem installed, in locale $1 (Wine takes the
# ANSI code page from it), for the Windows Ruby run with the further
# arguments; answers that Ruby's status.
windows_ruby_in() {
  local locale=$1 status=0; shift
  export LC_ALL=$locale LANG=$locale
  wine_start
  install_gem
  windows_ruby "$@" || status=$?
  wine_stop
  export LC_ALL=C.UTF-8 LANG=C.UTF-8
  return $status
}
