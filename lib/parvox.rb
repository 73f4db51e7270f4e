# The x64-mingw-ucrt gem holds a parvox.so per Ruby minor version, in
# parvox/<minor>/ beside this file: this loads the one built for the running
# Ruby. (The other gems install parvox.so itself, which needs no loader.)
dir = File.join(__dir__, "parvox")
# Listed, not globbed: under Wine, Dir.glob finds nothing on drive Z:.
held = (File.directory?(dir) ? Dir.children(dir) : [])
       .select { |minor| File.file?(File.join(dir, minor, "parvox.so")) }
       .sort_by { |minor| minor.split(".").map(&:to_i) }.reverse
minor = RUBY_VERSION[/\A\d+\.\d+/]
if held.empty?
  # No UCRT gem here (a source checkout on the load path, say): the
  # parvox.so built for this Ruby is elsewhere on the load path.
  require "parvox.so"
  return
end
unless held.include?(minor)
  raise LoadError, "this Parvox gem holds parvox.so for Ruby #{held.join(' and ')} only, " \
                   "not for this Ruby #{RUBY_VERSION}: use one of those Rubies, or install " \
                   "the source gem (gem install parvox --platform ruby) to build it for this one"
end
require File.join(dir, minor, "parvox.so")
