# Changing an archive in place: add one small file, delete one entry, rename
# one entry in an archive of 10,000 entries (1 GiB), by Parvox.update, zip
# (zip, zip -d, zipnote -w) and 7z (u, d, rn), against cp of the archive.
# Each run starts from a fresh copy (not timed); each result is checked with
# unzip -t. Writes bench/results/update.md (a smoke run: a tiny archive, into
# the scratch folder, and says nothing when it works).
#
#   ruby bench/update.rb [--smoke]
require "fileutils"
require "open3"
require "rbconfig"

ROOT = File.expand_path("..", __dir__)
SMOKE = ARGV.include?("--smoke")
SCRATCH = File.expand_path(ENV["PARVOX_BENCH_SCRATCH"] || File.join(ROOT, "bench", "scratch"))
WORK = File.join(SCRATCH, "update-#{SMOKE ? 'smoke' : 'full'}")
ENTRIES = SMOKE ? 200 : 10_000
ENTRY_BYTES = SMOKE ? 4096 : (1 << 30) / 10_000
REPS = SMOKE ? 1 : 3
PARVOX = [RbConfig.ruby, "-I", File.join(ROOT, "lib"), "-I", File.join(ROOT, "build", "ruby-#{RUBY_VERSION}"),
          "-rparvox", "-e"].freeze

def parvox(change) = PARVOX + ["Parvox.update(ARGV[0]) { |zip| #{change} }"]

# Parvox.update puts the new archive on disk before it takes the old one's
# place; cp and the peers leave it to the page cache.
CP_SYNC = ["sh", "-c", 'cp "$0" "$1" && sync "$1"'].freeze

OPERATIONS = {
  "add one small file" => {
    "Parvox.update" => parvox("zip.add_file('small.txt')"), "zip" => %w[zip -q],
    "7z u" => %w[7z u -bd -bso0], "cp" => %w[cp], "cp + sync" => CP_SYNC,
  },
  "delete one entry" => {
    "Parvox.update" => parvox("zip.delete('e/5.bin')"), "zip -d" => %w[zip -qd], "7z d" => %w[7z d -bd -bso0], "cp" => %w[cp],
    "cp + sync" => CP_SYNC,
  },
  "rename one entry" => {
    "Parvox.update" => parvox("zip.rename('e/5.bin', 'renamed.bin')"), "zipnote -w" => %w[zipnote -w],
    "7z rn" => %w[7z rn -bd -bso0], "cp" => %w[cp], "cp + sync" => CP_SYNC,
  },
}.freeze
ARGUMENTS = { "add one small file" => ["small.txt"], "delete one entry" => ["e/5.bin"],
              "rename one entry" => ["e/5.bin", "renamed.bin"] }.freeze
RENAMING = "@ e/5.bin\n@=renamed.bin\n".freeze

def original
  archive = File.join(WORK, "original.zip")
  return archive if File.exist?(archive)
  FileUtils.mkdir_p(WORK)
  script = "Parvox.create(ARGV[0], level: 0) { |z| r = Random.new(1); " \
           "#{ENTRIES}.times { |i| z.add_data(r.bytes(#{ENTRY_BYTES}), \"e/\#{i}.bin\") } }"
  system(*PARVOX, script, "#{archive}.part", exception: true)
  File.rename("#{archive}.part", archive)
  archive
end

def timed(argv, stdin)
  started = Process.clock_gettime(Process::CLOCK_MONOTONIC)
  _, status = Open3.capture2e(*argv, stdin_data: stdin, chdir: WORK)
  raise "#{argv.join(' ')} failed" unless status.success?
  Process.clock_gettime(Process::CLOCK_MONOTONIC) - started
end

def run(operation, contender, command)
  archive = File.join(WORK, "work.zip")
  FileUtils.cp(original, archive)
  system("sync")
  argv = case contender
         when /\Acp/ then command + [archive, File.join(WORK, "copy.zip")]
         when /Parvox/ then command + [archive]
         else command + [archive, *ARGUMENTS[operation].take(contender.include?("zipnote") ? 0 : 2)]
         end
  argv = command + [archive, "small.txt"] if contender == "zip"
  seconds = timed(argv, contender.include?("zipnote") ? RENAMING : nil)
  tested = contender.start_with?("cp") || system("unzip", "-tqq", archive, out: File::NULL, err: File::NULL)
  raise "#{contender}: #{operation}: unzip -t finds the archive damaged" unless tested
  seconds
ensure
  FileUtils.rm_f([File.join(WORK, "work.zip"), File.join(WORK, "copy.zip")])
end

File.write(File.join(original && WORK, "small.txt"), "a small file\n")
rows = OPERATIONS.flat_map do |operation, contenders|
  contenders.map do |contender, command|
    times = Array.new(REPS) { run(operation, contender, command) }.sort
    [operation, contender, times[times.size / 2]]
  end
end
size = File.size(original)
table = ["| Change | Contender | Wall (s, median of #{REPS}) |", "|---|---|---|"] +
        rows.map { |op, who, wall| format("| %s | %s | %.3f |", op, who, wall) }
report = "# Changing an archive in place\n\nAn archive of #{ENTRIES} stored entries, " \
         "#{(size / 1048576.0).round} MiB, on #{`uname -sr`.strip}, #{`nproc`.strip} cores; " \
         "each run on a fresh copy, checked with unzip -t. cp is the copy of the archive; cp + sync puts the copy on disk, as Parvox.update does before it renames the new archive over the old.\n\n#{table.join("\n")}\n"
target = SMOKE ? File.join(WORK, "update.md") : File.join(ROOT, "bench", "results", "update.md")
File.write(target, report)
puts report unless SMOKE
