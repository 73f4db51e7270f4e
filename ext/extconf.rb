# Builds parvox.so from ext/, archive/ and fsutil/ against the system's
# libarchive (reading), zlib and libdeflate (compressing and inflating),
# ISA-L where found (inflating large entries, else zlib does) and, except on
# Windows, where CNG serves, nettle (encryption).
require "mkmf"

root = File.expand_path("..", __dir__)

unless pkg_config("libarchive") && have_header("archive.h") && have_library("archive")
  abort <<~MSG
    Parvox needs libarchive (with its headers) to build.
    On Debian or Ubuntu: apt-get install libarchive-dev pkg-config
  MSG
end

# zlib has no pkg-config file of its own in the Windows build, where the
# static libarchive's brings it.
pkg_config("zlib")
unless have_header("zlib.h") && have_library("z")
  abort <<~MSG
    Parvox needs zlib (with its headers) to build.
    On Debian or Ubuntu: apt-get install zlib1g-dev
  MSG
end

unless pkg_config("libdeflate") && have_header("libdeflate.h") && have_library("deflate")
  abort <<~MSG
    Parvox needs libdeflate (with its headers) to build.
    On Debian or Ubuntu: apt-get install libdeflate-dev
  MSG
end

# PARVOX_ISAL=no builds without ISA-L, PARVOX_ISAL=yes insists on it.
isal = ENV.fetch("PARVOX_ISAL", "auto")
if isal != "no"
  pkg_config("libisal")
  if have_header("isa-l/igzip_lib.h") && have_library("isal", "isal_inflate", "isa-l/igzip_lib.h")
    $defs << "-DPARVOX_HAVE_ISAL=1"
  elsif isal == "yes"
    abort <<~MSG
      Parvox was asked to build with ISA-L, which was not found (with its headers).
      On Debian or Ubuntu: apt-get install libisal-dev
    MSG
  end
end

windows = RUBY_PLATFORM.match?(/mingw|mswin/)
if windows
  have_library("bcrypt") or abort "Parvox needs Windows' bcrypt library (CNG) to build."
elsif !(pkg_config("nettle") && have_header("nettle/aes.h") && have_library("nettle"))
  abort <<~MSG
    Parvox needs nettle (with its headers) to build.
    On Debian or Ubuntu: apt-get install nettle-dev
  MSG
end

$CXXFLAGS << " -std=c++17 -Wall -Wextra -Wno-unused-parameter"
# A Ruby configured without C++ flags of its own (the cross-built UCRT ones,
# a plain ./configure) would compile the extension unoptimised.
$CXXFLAGS << " -O2" unless $CXXFLAGS.match?(/(^|\s)-O/)
$CXXFLAGS << " #{ENV['PARVOX_CXXFLAGS']}" if ENV["PARVOX_CXXFLAGS"]
$LDFLAGS << " #{ENV['PARVOX_LDFLAGS']}" if ENV["PARVOX_LDFLAGS"]
$INCFLAGS << " -I#{root}"

# The sources are every .cpp in ext/, archive/ (with its read/ and write/
# wings) and fsutil/. Where the platforms differ, a source file exists once
# per platform: name_posix.cpp and name_windows.cpp; the other platform's file
# is left out.
other_platform = windows ? "_posix.cpp" : "_windows.cpp"

source_dirs = [File.join(root, "ext"), File.join(root, "fsutil")] +
              Dir[File.join(root, "archive", "**", "")].map { |dir| dir.chomp("/") }
sources = source_dirs.flat_map { |dir| Dir[File.join(dir, "*.cpp")] }
                     .reject { |f| f.end_with?(other_platform) }
# mkmf builds every object into one folder, named for its source's basename:
# two sources of one name would overwrite each other's object.
sources.group_by { |f| File.basename(f) }.each do |name, paths|
  next if paths.size == 1
  abort "Parvox's sources must have unique file names; #{name} is " \
        "#{paths.map { |p| p.delete_prefix("#{root}/") }.join(' and ')}"
end
$VPATH.concat(source_dirs)
$srcs = sources.map { |f| File.basename(f) }.sort

create_makefile("parvox")
