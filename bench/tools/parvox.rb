# Parvox as a benchmark contender, one job per process so its time and peak
# memory are measured on their own.
#
#   parvox.rb add ARCHIVE FOLDER NAME [PASSWORD]
#   parvox.rb extract ARCHIVE FOLDER [PASSWORD]
#   parvox.rb baseline        only loads the extension: Ruby's own footprint
require "parvox"

mode, archive, folder, *rest = ARGV
case mode
when "add"
  name, password = rest
  zip = Parvox.new(archive, password || "") or abort("parvox: cannot create #{archive}")
  added = zip.add_file(folder, name, true, true)
  zip.close
  exit(added ? 0 : 1)
when "extract"
  zip = Parvox.load(archive, rest[0] || "") or abort("parvox: cannot open #{archive}")
  extracted = zip.unzip_all(folder)
  zip.close
  exit(extracted ? 0 : 1)
when "baseline"
  exit(0)
else
  abort("usage: parvox.rb add ARCHIVE FOLDER NAME [PASSWORD] | extract ARCHIVE FOLDER [PASSWORD] | baseline")
end
