# rubyzip (Debian's ruby-zip) as a benchmark contender.
#
#   rubyzip.rb add ARCHIVE FOLDER NAME    deflate at level 6
#   rubyzip.rb extract ARCHIVE FOLDER
require "zip"
require "find"
require "fileutils"

mode, archive, folder, name = ARGV
case mode
when "add"
  Zip.default_compression = 6
  Zip::File.open(archive, Zip::File::CREATE) do |zip|
    Find.find(folder) do |path|
      zip.add(name + path.delete_prefix(folder), path)
    end
  end
when "extract"
  Zip::File.open(archive) do |zip|
    zip.each do |entry|
      target = File.join(folder, entry.name)
      FileUtils.mkdir_p(File.dirname(target))
      entry.extract(target) { true }
    end
  end
else
  abort("usage: rubyzip.rb add ARCHIVE FOLDER NAME | extract ARCHIVE FOLDER")
end
