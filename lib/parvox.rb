# Loads the native parvox.so, then the parts of Parvox written in Ruby.
#
# The x64-mingw-ucrt and x86_64-linux gems hold a parvox.so per Ruby minor
# version, in parvox/<minor>/ beside this file: this loads the one built for
# the running Ruby. The other gems install parvox.so itself, beside this file.
dir = File.join(__dir__, "parvox")
# Listed, not globbed: under Wine, Dir.glob finds nothing on drive Z:.
held = (File.directory?(dir) ? Dir.children(dir) : [])
       .select { |minor| File.file?(File.join(dir, minor, "parvox.so")) }
       .sort_by { |minor| minor.split(".").map(&:to_i) }.reverse
minor = RUBY_VERSION[/\A\d+\.\d+/]
if held.empty?
  # Not a gem for several Rubies: parvox.so is on the load path (beside this
  # file in a gem, in the build folder of a source checkout).
  require "parvox.so"
elsif !held.include?(minor)
  rubies = held.size > 1 ? "#{held[0..-2].join(', ')} and #{held[-1]}" : held.first
  libraries = if RUBY_PLATFORM.match?(/mingw|mswin/)
                "RubyInstaller: ridk install, then ridk exec pacman -S " \
                  "mingw-w64-ucrt-x86_64-libarchive mingw-w64-ucrt-x86_64-libdeflate"
              else
                "Debian: apt-get install build-essential pkg-config libarchive-dev libdeflate-dev " \
                  "nettle-dev zlib1g-dev"
              end
  raise LoadError, "this Parvox gem holds parvox.so for Ruby #{rubies} only, not for this " \
                   "Ruby #{RUBY_VERSION}: use one of those Rubies, or build it for this one " \
                   "from the source gem (gem install parvox --platform ruby), which needs a " \
                   "C++17 compiler and the libraries it links with their headers (#{libraries})"
else
  require File.join(dir, minor, "parvox.so")
end
require_relative "parvox/face"
