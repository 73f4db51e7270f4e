# Entries of a large archive by name: Parvox#unzip_file against Python's
# zipfile and rubyzip on one archive of many small entries, in one run.
# Prints times and ratios; it never fails on timing.
#
#   ruby -Ibuild/ruby-X.Y.Z bench/lookup.rb [--entries N] [--names N] [--random N]
#
# Measured for each contender: listing every entry; extracting N names in
# archive order (a sorted random sample); the same names in random order; a
# name that is not there (after the first walk). Parvox's unzip_all of an
# archive holding just the sampled entries is the yardstick for the in-order
# figure. An entry behind the reader means reading the archive again from its
# start, so the random order takes minutes at the default sizes.
require "fileutils"
require "json"
require "optparse"
require "open3"
require "tmpdir"
require "parvox"

options = { entries: 50_000, names: 1_000, random: 1_000, misses: 1_000 }
OptionParser.new do |o|
  o.on("--entries N", Integer, "entries in the archive (default 50000)") { |n| options[:entries] = n }
  o.on("--names N", Integer, "names extracted in archive order (default 1000)") { |n| options[:names] = n }
  o.on("--random N", Integer, "names extracted in random order (default 1000)") { |n| options[:random] = n }
end.parse!

def seconds
  start = Process.clock_gettime(Process::CLOCK_MONOTONIC)
  yield
  Process.clock_gettime(Process::CLOCK_MONOTONIC) - start
end

def ms(value)
  format("%.3f ms", value * 1000)
end

PYTHON = <<~PY.freeze
  import json, random, sys, time, zipfile
  archive, out, names_file = sys.argv[1:4]
  names = json.load(open(names_file))
  t = {}
  start = time.perf_counter()
  zf = zipfile.ZipFile(archive)
  listed = zf.infolist()
  t["entries"] = time.perf_counter() - start
  def extract(group):
      for i, name in enumerate(names[group]):
          with zf.open(name) as src, open("%s/%s-%d" % (out, group, i), "wb") as dst:
              dst.write(src.read())
  for group in ("ordered", "random"):
      start = time.perf_counter()
      extract(group)
      t[group] = time.perf_counter() - start
  start = time.perf_counter()
  for _ in range(names["misses"]):
      try:
          zf.getinfo("no/such/entry.txt")
      except KeyError:
          pass
  t["miss"] = (time.perf_counter() - start) / names["misses"]
  print(json.dumps(t))
PY

def rubyzip_times(archive, out, names, misses)
  script = <<~RB
    require "zip"
    require "json"
    archive, out, names_file = ARGV
    names = JSON.parse(File.read(names_file))
    clock = -> { Process.clock_gettime(Process::CLOCK_MONOTONIC) }
    t = {}
    start = clock.call
    zip = Zip::File.open(archive)
    zip.entries
    t["entries"] = clock.call - start
    %w[ordered random].each do |group|
      start = clock.call
      names[group].each_with_index do |name, i|
        File.binwrite("\#{out}/\#{group}-\#{i}", zip.read(name))
      end
      t[group] = clock.call - start
    end
    start = clock.call
    names["misses"].times { zip.find_entry("no/such/entry.txt") }
    t["miss"] = (clock.call - start) / names["misses"]
    puts JSON.generate(t)
  RB
  run_json(["ruby", "-e", script, archive, out, names])
end

def run_json(command)
  stdout, stderr, status = Open3.capture3(*command)
  return JSON.parse(stdout) if status.success?
  warn "#{command.first} failed: #{stderr.lines.last(3).join}"
  nil
end

Dir.mktmpdir("parvox-lookup") do |work|
  archive = File.join(work, "many.zip")
  count = options[:entries]
  # Small text files in folders of 100, deflated, as zipfile writes them.
  _, err, status = Open3.capture3("python3", "-c", <<~PY, archive, count.to_s)
    import sys, zipfile
    with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as zf:
        for i in range(int(sys.argv[2])):
            zf.writestr("d%03d/file%05d.txt" % (i // 100, i), "entry %d\\n" % i * 3)
  PY
  abort("python3 could not write the archive: #{err}") unless status.success?
  names = Array.new(count) { |i| format("d%03d/file%05d.txt", i / 100, i) }
  rng = Random.new(12)
  ordered = names.sample(options[:names], random: rng).sort
  random = names.sample(options[:random], random: rng)
  names_file = File.join(work, "names.json")
  File.write(names_file, JSON.generate("ordered" => ordered, "random" => random,
                                       "misses" => options[:misses]))
  puts "archive: #{count} entries, #{File.size(archive)} bytes; " \
       "#{ordered.size} names in archive order, #{random.size} in random order"

  out = File.join(work, "out")
  results = {}

  FileUtils.mkdir_p(out)
  zip = Parvox.load(archive, "")
  t = {}
  listed = nil
  t["entries"] = seconds { listed = zip.entries }
  abort("entries listed #{listed.size} of #{count}") unless listed.size == count
  %w[ordered random].each do |group|
    list = group == "ordered" ? ordered : random
    t[group] = seconds do
      list.each_with_index do |name, i|
        zip.unzip_file(name, "#{out}/#{group}-#{i}") or abort("#{name}: #{zip.last_error}")
      end
    end
  end
  t["miss"] = seconds { options[:misses].times { zip.unzip_file("no/such/entry.txt", "#{out}/x") } } /
              options[:misses]
  run = names[count / 3, ordered.size]
  t["run"] = seconds { run.each_with_index { |name, i| zip.unzip_file(name, "#{out}/run-#{i}") } }
  t["unzip_all"] = seconds { zip.unzip_all(File.join(work, "all")) or abort(zip.last_error) }
  zip.close
  # The yardstick: unzip_all of an archive holding just the sampled entries.
  same = File.join(work, "same.zip")
  _, err, status = Open3.capture3("python3", "-c", <<~PY, archive, same, stdin_data: JSON.generate(ordered))
    import json, sys, zipfile
    names = json.load(sys.stdin)
    with zipfile.ZipFile(sys.argv[1]) as src, zipfile.ZipFile(sys.argv[2], "w", zipfile.ZIP_DEFLATED) as dst:
        for name in names:
            dst.writestr(name, src.read(name))
  PY
  abort("python3 could not write the yardstick archive: #{err}") unless status.success?
  zip = Parvox.load(same, "")
  t["unzip_all_same"] = seconds { zip.unzip_all(File.join(work, "same")) or abort(zip.last_error) }
  zip.close
  # A first unzip_file that has to search walks every header once.
  zip = Parvox.load(archive, "")
  t["first"] = seconds { zip.unzip_file(names.last, "#{out}/first") }
  zip.close
  results["Parvox"] = t

  [["Python zipfile", ["python3", "-c", PYTHON, archive, out, names_file]],
   ["rubyzip", nil]].each do |label, command|
    FileUtils.rm_rf(out)
    FileUtils.mkdir_p(out)
    results[label] = command ? run_json(command) : rubyzip_times(archive, out, names_file, options[:misses])
  end

  parvox = results["Parvox"]
  puts
  puts format("%-16s %14s %18s %18s %14s", "", "entries", "#{ordered.size} in order",
              "#{random.size} random", "a miss")
  results.each do |label, t|
    next puts(format("%-16s (not run)", label)) unless t
    puts format("%-16s %14s %18s %18s %14s", label, ms(t["entries"]), ms(t["ordered"]),
                ms(t["random"]), ms(t["miss"]))
  end
  puts
  puts "Parvox unzip_all of all #{count} entries: #{ms(parvox['unzip_all'])}"
  puts "Parvox unzip_all of an archive of just the #{ordered.size} sampled entries: " \
       "#{ms(parvox['unzip_all_same'])}"
  puts "Parvox #{run.size} consecutive entries by name: #{ms(parvox['run'])}"
  puts "Parvox first unzip_file that searches (one walk over every header): #{ms(parvox['first'])}"
  puts format("in order / unzip_all of the same entries: %.2f (target: at most 2)",
              parvox["ordered"] / parvox["unzip_all_same"])
  puts format("consecutive / unzip_all of as many entries: %.2f", parvox["run"] / parvox["unzip_all_same"])
  puts format("in order / unzip_all of the whole archive: %.2f", parvox["ordered"] / parvox["unzip_all"])
  puts format("random order: %s a name", ms(parvox["random"] / random.size))
  puts format("a miss after the first walk: %s (target: under 1 ms)", ms(parvox["miss"]))
  results.each do |label, t|
    next if label == "Parvox" || !t
    %w[entries ordered random miss].each do |key|
      puts format("Parvox / %-14s %-8s %8.2f", label, key, parvox[key] / t[key])
    end
  end
end
