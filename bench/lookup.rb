# Entries of a large archive by name: Parvox against Python's zipfile and
# rubyzip on one archive of many small entries (and one of 4 MiB), in one
# run. Prints times and ratios; it never fails on timing.
#
#   ruby -Ibuild/ruby-X.Y.Z bench/lookup.rb [--entries N] [--names N] [--repeat N]
#
# Measured for each contender, each figure the best of --repeat rounds:
# - load + the first read of the last entry (a fresh object each time);
# - entries: load + listing every entry;
# - N names in archive order (a sorted random sample) and in random order,
#   extracted to files (unzip_file; zipfile and rubyzip: read + write) and
#   read into memory (read);
# - per-call costs: reading one 300-byte entry, and the 4 MiB entry;
# - a name that is not there.
# Parvox runs twice: on the archive's path, and on its bytes in a StringIO.
require "fileutils"
require "stringio"
require "json"
require "optparse"
require "open3"
require "tmpdir"
require "parvox"

options = { entries: 50_000, names: 1_000, repeat: 3 }
OptionParser.new do |o|
  o.on("--entries N", Integer, "small entries in the archive (default 50000)") { |n| options[:entries] = n }
  o.on("--names N", Integer, "names taken in each order (default 1000)") { |n| options[:names] = n }
  o.on("--repeat N", Integer, "rounds; the best counts (default 3)") { |n| options[:repeat] = n }
end.parse!

KEYS = %w[first entries unzip_ordered unzip_random read_ordered read_random small big miss].freeze
SMALL_CALLS = 2_000
BIG_CALLS = 20
MISSES = 1_000

PYTHON = <<~PY.freeze
  import json, sys, time, zipfile
  archive, out, names_file, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
  job = json.load(open(names_file))
  best = {}
  def timed(key, work):
      start = time.perf_counter()
      work()
      spent = time.perf_counter() - start
      best[key] = min(best.get(key, spent), spent)
  for _ in range(rounds):
      timed("first", lambda: zipfile.ZipFile(archive).read(job["last"]))
      timed("entries", lambda: zipfile.ZipFile(archive).infolist())
      zf = zipfile.ZipFile(archive)
      def extract(group):
          for i, name in enumerate(job[group]):
              with open("%s/%s-%d" % (out, group, i), "wb") as dst:
                  dst.write(zf.read(name))
      def read(group):
          for name in job[group]:
              zf.read(name)
      timed("unzip_ordered", lambda: extract("ordered"))
      timed("unzip_random", lambda: extract("random"))
      timed("read_ordered", lambda: read("ordered"))
      timed("read_random", lambda: read("random"))
      timed("small", lambda: [zf.read(job["small"]) for _ in range(job["small_calls"])])
      timed("big", lambda: [zf.read(job["big"]) for _ in range(job["big_calls"])])
      def misses():
          for _ in range(job["misses"]):
              try:
                  zf.getinfo("no/such/entry.txt")
              except KeyError:
                  pass
      timed("miss", misses)
  print(json.dumps(best))
PY

RUBYZIP = <<~RB.freeze
  require "zip"
  require "json"
  archive, out, names_file, rounds = ARGV
  job = JSON.parse(File.read(names_file))
  best = {}
  timed = lambda do |key, &work|
    start = Process.clock_gettime(Process::CLOCK_MONOTONIC)
    work.call
    spent = Process.clock_gettime(Process::CLOCK_MONOTONIC) - start
    best[key] = [best[key] || spent, spent].min
  end
  Integer(rounds).times do
    timed.call("first") { Zip::File.open(archive) { |z| z.read(job["last"]) } }
    timed.call("entries") { Zip::File.open(archive) { |z| z.entries } }
    zip = Zip::File.open(archive)
    %w[ordered random].each do |group|
      timed.call("unzip_\#{group}") do
        job[group].each_with_index { |name, i| File.binwrite("\#{out}/\#{group}-\#{i}", zip.read(name)) }
      end
      timed.call("read_\#{group}") { job[group].each { |name| zip.read(name) } }
    end
    timed.call("small") { job["small_calls"].times { zip.read(job["small"]) } }
    timed.call("big") { job["big_calls"].times { zip.read(job["big"]) } }
    timed.call("miss") { job["misses"].times { zip.find_entry("no/such/entry.txt") } }
  end
  puts JSON.generate(best)
RB

def seconds
  start = Process.clock_gettime(Process::CLOCK_MONOTONIC)
  yield
  Process.clock_gettime(Process::CLOCK_MONOTONIC) - start
end

def run_json(command, env = {})
  stdout, stderr, status = Open3.capture3(env, *command)
  return JSON.parse(stdout) if status.success?
  warn "#{command.first} failed: #{stderr.lines.last(3).join}"
  nil
end

# `open` answers a new Parvox object on the archive.
def parvox_times(open, out, job, rounds)
  best = {}
  timed = lambda do |key, &work|
    spent = seconds(&work)
    best[key] = [best[key] || spent, spent].min
  end
  rounds.times do
    timed.call("first") { open.call.read(job["last"]) or abort("first read failed") }
    timed.call("entries") { open.call.entries.size == job["count"] or abort("entries") }
    zip = open.call
    %w[ordered random].each do |group|
      timed.call("unzip_#{group}") do
        job[group].each_with_index do |name, i|
          zip.unzip_file(name, "#{out}/#{group}-#{i}") or abort("#{name}: #{zip.last_error}")
        end
      end
      timed.call("read_#{group}") { job[group].each { |name| zip.read(name) or abort("#{name}: #{zip.last_error}") } }
    end
    timed.call("small") { job["small_calls"].times { zip.read(job["small"]) } }
    timed.call("big") { job["big_calls"].times { zip.read(job["big"]) } }
    timed.call("miss") { job["misses"].times { zip.read("no/such/entry.txt") } }
    zip.close
  end
  best
end

def ms(value)
  format("%.3f ms", value * 1000)
end

def us(value)
  format("%.1f µs", value * 1e6)
end

Dir.mktmpdir("parvox-lookup") do |work|
  archive = File.join(work, "many.zip")
  count = options[:entries]
  # Small text files of about 300 bytes in folders of 100, deflated as zipfile
  # writes them, then one 4 MiB entry.
  _, err, status = Open3.capture3("python3", "-c", <<~PY, archive, count.to_s)
    import random, sys, zipfile
    rng = random.Random(5)
    words = [("w%d" % i).encode() for i in range(500)]
    with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as zf:
        for i in range(int(sys.argv[2])):
            text = b" ".join(rng.choice(words) for _ in range(75))[:300]
            zf.writestr("d%03d/file%05d.txt" % (i // 100, i), text)
        zf.writestr("big/four.bin", b" ".join(rng.choice(words) for _ in range(1 << 20))[: 4 << 20])
  PY
  abort("python3 could not write the archive: #{err}") unless status.success?
  names = Array.new(count) { |i| format("d%03d/file%05d.txt", i / 100, i) }
  rng = Random.new(12)
  job = { "count" => count + 1, "last" => names.last, "small" => names[count / 2], "big" => "big/four.bin",
          "ordered" => names.sample(options[:names], random: rng).sort,
          "random" => names.sample(options[:names], random: rng),
          "small_calls" => SMALL_CALLS, "big_calls" => BIG_CALLS, "misses" => MISSES }
  names_file = File.join(work, "job.json")
  File.write(names_file, JSON.generate(job))
  puts "archive: #{count} entries of 300 bytes and one of 4 MiB, #{File.size(archive)} bytes; " \
       "#{options[:names]} names in each order; best of #{options[:repeat]} rounds"

  out = File.join(work, "out")
  results = {}
  contenders = [
    ["Parvox", -> { parvox_times(-> { Parvox.load(archive, "") }, out, job, options[:repeat]) }],
    ["Parvox, StringIO", lambda {
      bytes = File.binread(archive)
      parvox_times(-> { Parvox.load(StringIO.new(bytes), "") }, out, job, options[:repeat])
    }],
    ["Python zipfile", -> { run_json(["python3", "-c", PYTHON, archive, out, names_file, options[:repeat].to_s]) }],
    # Debian's own Ruby runs rubyzip, whichever Ruby runs the benchmark.
    ["rubyzip", lambda {
      env = %w[RUBYLIB RUBYOPT GEM_HOME GEM_PATH].to_h { |k| [k, nil] }
      run_json(["/usr/bin/ruby", "-e", RUBYZIP, archive, out, names_file, options[:repeat].to_s], env)
    }],
  ]
  contenders.each do |label, measure|
    FileUtils.rm_rf(out)
    FileUtils.mkdir_p(out)
    results[label] = measure.call
  end

  n = options[:names]
  columns = [["load + first read", "first", :ms], ["entries", "entries", :ms],
             ["unzip_file #{n} in order", "unzip_ordered", :ms], ["unzip_file #{n} random", "unzip_random", :ms],
             ["read #{n} in order", "read_ordered", :ms], ["read #{n} random", "read_random", :ms],
             ["read 300 B", "small", SMALL_CALLS], ["read 4 MiB", "big", BIG_CALLS], ["a miss", "miss", MISSES]]
  figure = lambda do |t, key, unit|
    unit == :ms ? ms(t[key]) : (key == "big" ? ms(t[key] / unit) : us(t[key] / unit))
  end
  puts
  columns.each do |title, key, unit|
    row = results.map { |label, t| t ? "#{label} #{figure.call(t, key, unit)}" : "#{label} (not run)" }
    puts format("%-24s %s", title, row.join("   "))
  end
  zipfile = results["Python zipfile"]
  parvox = results["Parvox"]
  if (memory = results["Parvox, StringIO"])
    ratio = memory["read_random"] / parvox["read_random"]
    puts
    puts format("Parvox from a StringIO ÷ from the path, read #{n} random: %.2f  %s (target: at most 1.2)",
                ratio, ratio <= 1.2 ? "met" : "NOT met")
  end
  next unless zipfile

  puts
  puts "Parvox ÷ zipfile (targets: at most 2 for every figure; at most 1 for load + first read and entries)"
  columns.each do |title, key, _|
    ratio = parvox[key] / zipfile[key]
    goal = %w[first entries].include?(key) ? 1 : 2
    puts format("  %-24s %6.2f  %s", title, ratio, ratio <= goal ? "met" : "NOT met")
  end
end
