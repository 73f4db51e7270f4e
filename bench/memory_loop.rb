# Looks for memory that grows with use: repeats the whole life of an archive
# (new, add_file, close, load, unzip_all, close) and prints the resident size
# (VmRSS) as it goes. After warm-up the figure should stay flat; the last line
# is a verdict drawn from the numbers. A script to read, not a test: it never
# fails.
#
#   ruby -Ibuild/ruby-X bench/memory_loop.rb [ITERATIONS] [EVERY]   (10000, 500)
require "fileutils"
require "tmpdir"
require "parvox"

$stdout.sync = true
iterations = Integer(ARGV[0] || 10_000)
every = Integer(ARGV[1] || 500)
warm_up = iterations / 5

def rss_kib
  File.read("/proc/self/status")[/^VmRSS:\s+(\d+)/, 1].to_i
end

Dir.mktmpdir("parvox-memory") do |dir|
  source = File.join(dir, "source")
  FileUtils.mkdir_p(File.join(source, "sub"))
  File.binwrite(File.join(source, "text.txt"), "memory loop " * 8_000)
  File.binwrite(File.join(source, "sub", "random.bin"), Random.new(7).bytes(150_000))
  archive = File.join(dir, "loop.zip")
  out = File.join(dir, "out")

  samples = []
  started = Process.clock_gettime(Process::CLOCK_MONOTONIC)
  printf("%10s %10s %8s\n", "iteration", "VmRSS KiB", "seconds")
  1.upto(iterations) do |i|
    # Every other archive is encrypted, so both code paths are repeated.
    password = i.even? ? "loop-password" : ""
    zip = Parvox.new(archive, password) or abort "Parvox.new failed at #{i}"
    zip.add_file(source, "tree", true, true) or abort "add_file failed at #{i}"
    zip.close
    reader = Parvox.load(archive, password) or abort "Parvox.load failed at #{i}"
    reader.unzip_all(out) or abort "unzip_all failed at #{i}"
    reader.close
    FileUtils.rm_rf(out) if (i % 100).zero?
    next unless (i % every).zero? || i == 1

    samples << [i, rss_kib]
    printf("%10d %10d %8.1f\n", i, samples.last[1],
           Process.clock_gettime(Process::CLOCK_MONOTONIC) - started)
  end

  # Flat means: from the end of warm-up to the end, resident memory grew by
  # less than 2 MiB and less than 5 %, so nothing is kept per iteration.
  after_warm_up = samples.find { |i, _| i >= warm_up } || samples.first
  last = samples.last
  growth = last[1] - after_warm_up[1]
  per_iteration = growth * 1024.0 / [last[0] - after_warm_up[0], 1].max
  flat = growth < 2048 && growth < after_warm_up[1] * 0.05
  puts format("verdict: %s: %+d KiB from iteration %d (%d KiB) to %d (%d KiB), %.1f bytes per iteration",
              flat ? "flat" : "GROWING", growth, after_warm_up[0], after_warm_up[1], last[0], last[1],
              per_iteration)
end
