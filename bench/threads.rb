# Parvox beside other Ruby threads: prints a markdown table of ratios measured
# in this one run.
#
#   ruby -I build/ruby-X bench/threads.rb [--files N] [--reps N] [--compare LIB_DIR]
#
# - Two threads, each adding its own copy of a generated tree to its own
#   archive, against the same two adds one after the other.
# - A thread counting in a loop: how far it counts during a long add, against
#   how far it counts in the same time with nothing else running.
# - With --compare LIB_DIR (the folder of another build's parvox.so), paired
#   single-thread runs of adding and extracting the tree with both builds, each
#   in a process of its own, alternating, to see whether one regressed.
require "parvox"
require "fileutils"
require "optparse"
require "rbconfig"
require "tmpdir"

options = { files: 3000, reps: 3, compare: nil }
OptionParser.new do |o|
  o.on("--files N", Integer, "files in each generated tree (40 KiB each)") { |n| options[:files] = n }
  o.on("--reps N", Integer, "repetitions; medians are printed") { |n| options[:reps] = n }
  o.on("--compare LIB_DIR", "folder of another build's parvox.so for paired runs") { |d| options[:compare] = d }
end.parse!

def now = Process.clock_gettime(Process::CLOCK_MONOTONIC)

def timed
  start = now
  yield
  now - start
end

def median(values) = values.sort[values.size / 2]

# Text-like files (words drawn from a small vocabulary) that deflate about 3:1.
def make_tree(root, files)
  words = Array.new(400) { |i| "w#{(i * 7919) % 10_007}" }
  random = Random.new(1)
  files.times do |i|
    folder = File.join(root, "d#{i / 100}")
    FileUtils.mkdir_p(folder)
    text = Array.new(6000) { words[random.rand(words.size)] }.join(" ")
    File.write(File.join(folder, "f#{i}.txt"), text[0, 40 * 1024])
  end
end

def add(tree, archive)
  zip = Parvox.new(archive, "")
  ok = zip.add_file(tree, "t", true, true)
  zip.close
  ok or abort("bench: adding #{tree} failed")
end

# Counts in a loop on another thread while the block runs; answers counts/s.
def counting_rate
  count = 0
  counter = Thread.new { loop { count += 1 } }
  Thread.pass until count.positive?
  start_count = count
  seconds = timed { yield }
  counted = count - start_count
  counter.kill.join
  counted / seconds
end

Dir.mktmpdir("parvox-threads") do |work|
  trees = %w[a b].map { |k| File.join(work, k) }
  trees.each { |t| make_tree(t, options[:files]) }
  out = ->(name) { File.join(work, name) }

  sequential = []
  parallel = []
  options[:reps].times do
    sequential << timed { trees.each_with_index { |t, i| add(t, out.("s#{i}.zip")) } }
    parallel << timed { trees.each_with_index.map { |t, i| Thread.new { add(t, out.("p#{i}.zip")) } }.each(&:join) }
  end

  busy_rates = []
  idle_rates = []
  options[:reps].times do
    seconds = nil
    busy_rates << counting_rate { seconds = timed { add(trees[0], out.("c.zip")) } }
    idle_rates << counting_rate { sleep seconds }
  end

  rows = [
    ["Two threads adding their own tree: together ÷ one after the other", median(parallel) / median(sequential),
     format("%.2f s ÷ %.2f s", median(parallel), median(sequential))],
    ["A counting thread during a long add: counts ÷ counts with nothing else running",
     median(busy_rates) / median(idle_rates), format("%.2e ÷ %.2e per s", median(busy_rates), median(idle_rates))],
  ]

  if options[:compare]
    script = <<~RUBY
      require "parvox"
      tree, archive, target = ARGV
      start = Process.clock_gettime(Process::CLOCK_MONOTONIC)
      z = Parvox.new(archive, ""); z.add_file(tree, "t", true, true) or exit 1; z.close
      added = Process.clock_gettime(Process::CLOCK_MONOTONIC)
      r = Parvox.load(archive, ""); r.unzip_all(target) or exit 1; r.close
      done = Process.clock_gettime(Process::CLOCK_MONOTONIC)
      print added - start, " ", done - added
    RUBY
    times = { this: [], other: [] }
    options[:reps].times do |rep|
      { this: $LOAD_PATH.find { |d| File.exist?(File.join(d, "parvox.so")) }, other: options[:compare] }
        .to_a.rotate(rep % 2).each do |key, lib|
          target = out.("x-#{key}-#{rep}")
          line = IO.popen([RbConfig.ruby, "-I", lib, "-e", script, trees[0], out.("x.zip"), target], &:read)
          times[key] << line.split.map(&:to_f)
          FileUtils.rm_rf(target)
        end
    end
    %w[adding extracting].each_with_index do |what, i|
      this = median(times[:this].map { |t| t[i] })
      other = median(times[:other].map { |t| t[i] })
      rows << ["#{what.capitalize} the tree on one thread: this build ÷ #{options[:compare]}", this / other,
               format("%.3f s ÷ %.3f s", this, other)]
    end
  end

  puts "Trees of #{options[:files]} files (#{options[:files] * 40 / 1024} MiB each), #{options[:reps]} repetitions, " \
       "#{Etc.respond_to?(:nprocessors) ? Etc.nprocessors : '?'} cores"
  puts
  puts "| measure | ratio | figures |"
  puts "|---|---:|---|"
  rows.each { |label, ratio, figures| puts format("| %s | %.2f | %s |", label, ratio, figures) }
end
