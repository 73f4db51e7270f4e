# Parvox as a benchmark contender, one job per process so its time and peak
# memory are measured on their own.
#
#   parvox.rb add ARCHIVE FOLDER NAME [PASSWORD]
#   parvox.rb add-pipe ARCHIVE FOLDER NAME         the same into a pipe, which
#                                                  cat (another process) copies to ARCHIVE
#   parvox.rb add-slow-pipe ARCHIVE FOLDER NAME    the same, read at most 64 MiB/s
#   parvox.rb first-byte ARCHIVE FOLDER NAME       exits when the first bytes reach the IO
#   parvox.rb add-file ARCHIVE FILE               one file, as its base name
#   parvox.rb write-entry-pipe ARCHIVE FILE       its lines written one by one through
#                                                  write_entry into a pipe (cat copies it)
#   parvox.rb read-lines ARCHIVE ENTRY LINES      the entry read whole, then split in lines
#   parvox.rb entry-lines ARCHIVE ENTRY LINES     the entry's lines through open_entry
#                                                  (both fail unless there are LINES of them)
#   parvox.rb extract ARCHIVE FOLDER [PASSWORD]
#   parvox.rb baseline        only loads the extension: Ruby's own footprint
require "parvox"

# Copies stdin to stdout in 1 MiB reads, sleeping 15 ms after each. Python,
# not Ruby: it frees each read at once, so its own memory stays below
# Parvox's (time(1) reports the largest process of the tree).
SLOW_READER = <<~PY
  import sys, time
  while True:
      data = sys.stdin.buffer.read(1 << 20)
      if not data:
          break
      sys.stdout.buffer.write(data)
      time.sleep(0.015)
PY

mode, archive, folder, *rest = ARGV
case mode
when "add-pipe", "add-slow-pipe"
  name, password = rest
  consumer = mode == "add-pipe" ? ["cat"] : ["python3", "-c", SLOW_READER]
  added = finished = false
  IO.popen(consumer, "wb", out: archive) do |pipe|
    zip = Parvox.new(pipe, password || "") or abort("parvox: #{Parvox.last_error}")
    added = zip.add_file(folder, name, true, true)
    finished = zip.close.nil?
  end
  exit(added && finished && $?.success? ? 0 : 1)
when "add-file"
  zip = Parvox.new(archive, "") or abort("parvox: cannot create #{archive}")
  added = zip.add_file(folder, File.basename(folder), false, false)
  exit(added && zip.close.nil? ? 0 : 1)
when "write-entry-pipe"
  written = finished = false
  IO.popen(["cat"], "wb", out: archive) do |pipe|
    zip = Parvox.new(pipe, "")
    written = zip.write_entry(File.basename(folder)) { |io| File.foreach(folder) { |row| io << row } }
    finished = zip.close.nil?
  end
  exit(written && finished && $?.success? ? 0 : 1)
when "read-lines", "entry-lines"
  zip = Parvox.load(archive, "") or abort("parvox: cannot open #{archive}")
  count = 0
  if mode == "read-lines"
    zip.read(folder).each_line { count += 1 }
  else
    zip.open_entry(folder) { |io| io.each_line { count += 1 } }
  end
  exit(count == Integer(rest[0]) ? 0 : 1)
when "first-byte"
  first = Object.new
  def first.write(_bytes)
    exit!(0)
  end
  zip = Parvox.new(first, "")
  zip.add_file(folder, rest[0], true, true)
  exit(1)
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
  abort("usage: parvox.rb add ARCHIVE FOLDER NAME [PASSWORD] | add-pipe | add-slow-pipe | first-byte " \
        "ARCHIVE FOLDER NAME | extract ARCHIVE FOLDER [PASSWORD] | baseline")
end
