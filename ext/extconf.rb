# Builds parvox.so from ext/, archive/ and fsutil/ against the system's
# libarchive.
require "mkmf"

root = File.expand_path("..", __dir__)

unless pkg_config("libarchive") && have_header("archive.h") && have_library("archive")
  abort <<~MSG
    Parvox needs libarchive (with its headers) to build.
    On Debian or Ubuntu: apt-get install libarchive-dev pkg-config
  MSG
end

$CXXFLAGS << " -std=c++17 -Wall -Wextra -Wno-unused-parameter"
$CXXFLAGS << " #{ENV['PARVOX_CXXFLAGS']}" if ENV["PARVOX_CXXFLAGS"]
$LDFLAGS << " #{ENV['PARVOX_LDFLAGS']}" if ENV["PARVOX_LDFLAGS"]
$INCFLAGS << " -I#{root}"

source_dirs = %w[ext archive fsutil].map { |dir| File.join(root, dir) }
$VPATH.concat(source_dirs)
$srcs = source_dirs.flat_map { |dir| Dir[File.join(dir, "*.cpp")] }.map { |f| File.basename(f) }.sort

create_makefile("parvox")
