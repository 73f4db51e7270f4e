# Zips a sample folder with a password (and a manifest made in memory), lists
# the archive's entries, shows why a wrong password fails, extracts it again,
# reads two entries into memory and compares every file with the original;
# then builds an archive in memory (a StringIO) and reads it back from there.
require "parvox"
require "fileutils"
require "stringio"
require "tmpdir"
require "zlib"

PASSWORD = "correct horse battery staple"

def sample_tree(root)
  files = {
    "README.txt" => "A sample project packed by Parvox.\n" * 20,
    "src/main.rb" => "puts 'hello from the archive'\n" * 200,
    "src/lib/util.rb" => (1..2000).map { |i| "def helper_#{i}; #{i} * 2; end\n" }.join,
    "assets/logo.bin" => Random.new(42).bytes(5 * 1024 * 1024),
    "assets/empty.dat" => "",
    "docs/notes – été.txt" => "UTF-8 names survive the round trip.\n",
  }
  files.each do |name, content|
    FileUtils.mkdir_p(File.join(root, File.dirname(name)))
    File.binwrite(File.join(root, name), content)
  end
  FileUtils.mkdir_p(File.join(root, "logs"))  # an empty folder
end

# A one-line progress display: entries seen and MiB done (of the total, when
# the operation knows it), rewritten in place on a terminal.
class ProgressLine
  def initialize(verb)
    @verb = verb
    @entries = 0
    @last = nil
    @line = ""
  end

  def to_proc
    method(:update).to_proc
  end

  def update(entry, done, total)
    @entries += 1 unless entry == @last
    @last = entry
    of_total = total ? format(" of %.1f", total / 1048576.0) : ""
    @line = format("  %s: %d entries, %.1f%s MiB", @verb, @entries, done / 1048576.0, of_total)
    print "\r#{@line}" if $stdout.tty?
  end

  def finish
    print "\r" if $stdout.tty?
    puts @line
  end
end

def tree(root)
  Dir.glob("**/*", base: root).sort.map do |rel|
    full = File.join(root, rel)
    [rel, File.directory?(full) ? :folder : File.binread(full)]
  end
end

Dir.mktmpdir("parvox-demo") do |work|
  source = File.join(work, "project")
  archive = File.join(work, "project.zip")
  target = File.join(work, "extracted")
  sample_tree(source)

  puts "Parvox #{Parvox.get_version} from #{Parvox.get_path}"
  zip = Parvox.new(archive, PASSWORD) or abort("could not create #{archive}")
  progress = ProgressLine.new("adding")
  added = zip.add_file(source, "project", true, true, &progress)
  progress.finish
  manifest = tree(source).map { |name, content| "#{name} #{content == :folder ? '/' : content.bytesize}\n" }.join
  puts "added a manifest made in memory: #{zip.add_data(manifest, 'MANIFEST.txt')}"
  zip.close
  puts "zipped #{source} with a password into #{archive} " \
       "(#{File.size(archive)} bytes): #{added}"

  reader = Parvox.load(archive, "") or abort("could not load #{archive}: #{Parvox.last_error}")
  puts "entries (listed without the password):"
  reader.entries.each do |entry|
    kind = entry.folder? ? "folder" : "#{entry.size} bytes#{', encrypted' if entry.encrypted?}"
    puts "  #{entry.name} (#{kind})"
  end
  reader.close

  reader = Parvox.load(archive, "wrong password")
  puts "extracting with a wrong password: #{reader.unzip_all(File.join(work, 'wrong'))}: " \
       "#{reader.last_error}"
  reader.close

  reader = Parvox.load(archive, PASSWORD) or abort("could not load #{archive}")
  progress = ProgressLine.new("extracting")
  extracted = reader.unzip_all(target, &progress)
  progress.finish
  readme = reader.read("project/README.txt")
  puts "read one entry into memory: project/README.txt, #{readme.bytesize} bytes, " \
       "first line #{readme.lines.first.chomp.inspect}"
  digest = 0
  reader.read("project/assets/logo.bin") { |chunk| digest = Zlib.crc32(chunk, digest) }
  puts format("read project/assets/logo.bin in chunks: CRC-32 %08x", digest)
  reader.close
  puts "extracted into #{target}: #{extracted}"

  original = tree(source)
  copy = tree(File.join(target, "project"))
  if original == copy && File.read(File.join(target, "MANIFEST.txt")) == manifest
    puts "compared #{original.size} files and folders and the manifest: identical"
  else
    abort "the extracted tree differs from the original"
  end

  memory = StringIO.new("".b)
  zip = Parvox.new(memory, PASSWORD)
  zip.add_file(File.join(source, "src"), "src", true, true)
  zip.add_data(manifest, "MANIFEST.txt")
  zip.close
  puts "built an archive in memory, never on disk: #{memory.string.bytesize} bytes"
  reader = Parvox.load(StringIO.new(memory.string), PASSWORD)
  names = reader.entries.map(&:name)
  same = reader.read("src/main.rb") == File.binread(File.join(source, "src", "main.rb")) &&
         reader.read("MANIFEST.txt") == manifest.b
  reader.close
  abort "the archive read back from memory differs" unless same
  puts "read it back from memory: #{names.join(', ')}: identical"
end
