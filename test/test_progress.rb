require_relative "helper"
require "rbconfig"
require "timeout"

# Progress blocks, interrupts, and other threads running while an operation
# works without Ruby's global lock.
class TestProgress < ParvoxTest
  # Runs `operation` in a new thread, raises `error` into it from here after
  # its first progress call, and answers [what it raised, reports seen].
  def interrupt_after_first_report(error, &operation)
    started = Queue.new
    reports = []
    worker = Thread.new do
      operation.call { |*report| reports << report; started << true if reports.size == 1 }
    rescue error => e
      e
    end
    started.pop
    worker.raise(error, "stop")
    [worker.value, reports]
  end

  def test_progress_reports_every_entry_once_in_order_with_exact_totals
    tree = { "a.txt" => "a" * 10, "big.bin" => noise(9 << 20), "d/e/" => nil, "d/f.txt" => "" }
    make_tree(path("src"), tree)
    file_bytes = tree.values.compact.sum(&:bytesize)
    zip = Parvox.new(path("t.zip"), "pw")
    added = []
    assert zip.add_file(path("src"), "s", true, true) { |name, done, total| added << [name, done, total] }
    zip.close
    names = entry_names(path("t.zip"))
    assert_equal names, added.map(&:first).uniq, "every entry, in archive order"
    assert_equal names.size, added.map(&:first).chunk_while { |a, b| a == b }.count, "each entry once"
    assert_operator added.count { |name, _, _| name == "s/big.bin" }, :>=, 3, "big files report every 4 MiB"
    assert_equal [file_bytes, nil], added.last[1..2]
    assert_equal added.map { |r| r[1] }.sort, added.map { |r| r[1] }, "done only grows"

    reader = Parvox.load(path("t.zip"), "pw")
    extracted = []
    assert reader.unzip_all(path("out")) { |*report| extracted << report }
    assert_equal names, extracted.map(&:first).uniq
    assert_equal [file_bytes, file_bytes], extracted.last[1..2]
    one = []
    assert reader.unzip_file("s/big.bin", path("one.bin")) { |*report| one << report }
    assert_equal ["s/big.bin", 9 << 20, 9 << 20], one.last
    reader.close
  end

  def test_an_exception_or_break_from_the_block_stops_the_add_with_every_entry_whole
    slow_tree(6)
    zip = Parvox.new(path("t.zip"), "pw")
    error = assert_raises(RuntimeError) do
      zip.add_file(path("slow"), "s", true, true) { |name, _, _| raise "enough" if name.end_with?(".bin") }
    end
    assert_equal "enough", error.message
    inner = []
    assert zip.add_file(path("slow", "f001.bin"), "a.bin", false, false) { inner << zip.add_file(path("slow"), "x", true, true) }
    assert_equal [false], inner.uniq, "a call from inside the block answers false"
    assert_equal :broke, zip.add_file(path("slow", "f001.bin"), "b.bin", false, false) { break :broke }
    zip.close
    assert valid_archive?(path("t.zip"), "pw")
    names = entry_names(path("t.zip"))
    assert_equal %w[a.bin b.bin], names.grep(/\A[ab]\.bin\z/)
    assert_operator names.count { |n| n.start_with?("s/") }, :<, 7, "stopped before the end"
    reader = Parvox.load(path("t.zip"), "pw")
    assert reader.unzip_all(path("out")), "every entry present is whole"
    reader.close
  end

  def test_thread_raise_interrupts_an_add_and_leaves_a_valid_archive
    slow_tree(40)
    zip = Parvox.new(path("t.zip"), "")
    raised, reports = interrupt_after_first_report(Interrupt) { |&b| zip.add_file(path("slow"), "s", true, true, &b) }
    assert_kind_of Interrupt, raised
    zip.close
    assert valid_archive?(path("t.zip"))
    assert_operator entry_names(path("t.zip")).size, :<, 41, "the add stopped early"
    refute_empty reports
  end

  def test_thread_raise_interrupts_an_extraction
    slow_tree(40)
    zip_folder(path("slow"), "s")
    reader = Parvox.load(path("t.zip"), "")
    raised, = interrupt_after_first_report(Interrupt) { |&b| reader.unzip_all(path("out"), &b) }
    assert_kind_of Interrupt, raised
    assert_operator Dir.children(path("out", "s")).size, :<, 40, "the extraction stopped early"
    assert reader.unzip_all(path("again")), "the object stays usable"
    reader.close
  end

  # Interrupts at many moments of an extraction on eight threads leave only
  # whole files, and the archive as it was.
  def test_interrupts_of_a_parallel_extraction_leave_only_whole_files
    files = (1..300).to_h { |i| ["d#{i % 7}/f#{i}.txt", "file #{i}\n" * (40 * i)] }
    files.merge!("big1.bin" => noise(6 << 20), "big2.bin" => noise(5 << 20, 2))
    make_tree(path("src"), files)
    archive = zip_folder(path("src"), "s", password: "pw")
    before = File.binread(archive)
    script = <<~RUBY
      zip = Parvox.load(ARGV[0], "pw")
      8.times do |i|
        # From another thread at some moment, or from the block at some point.
        stop_at = rand
        worker = Thread.new do
          zip.unzip_all(File.join(ARGV[1], i.to_s)) { |_, done, total| raise Interrupt if i.odd? && done > stop_at * total }
        end
        sleep(i * 0.1 + rand * 0.1) if i.even?
        worker.raise(Interrupt) if i.even?
        begin
          worker.join
        rescue Interrupt
        end
      end
      puts "done"
    RUBY
    out, status = ruby_child(script, archive, path("outs"), env: { "PARVOX_THREADS" => "8" }, deadline: 120)
    assert status.success? && out.include?("done"), out
    assert_equal before, File.binread(archive), "the archive was touched"
    extracted = Dir.glob("*/s/**/*", base: path("outs")).reject { |rel| File.directory?(path("outs", rel)) }
    extracted.each do |rel|
      source = path("src", rel.split("/", 3)[2])
      assert_equal File.binread(source), File.binread(path("outs", rel)), "#{rel} is not whole"
      assert_equal File.mtime(source).to_i, File.mtime(path("outs", rel)).to_i, "#{rel} was left unfinished"
    end
    assert_operator extracted.size, :<, 8 * files.size, "no extraction was interrupted"
  end

  # A signal only sets a flag for the main thread: Ctrl-C must reach a
  # single-threaded program whose one thread waits for the work.
  def test_ctrl_c_interrupts_a_single_threaded_add
    linux_only "sends SIGINT"
    slow_tree(60)
    script = <<~RUBY
      require "parvox"
      trap("INT") { raise Interrupt }  # a background shell starts children with SIGINT ignored
      zip = Parvox.new(ARGV[0], "")
      begin
        $stdout.puts "adding"; $stdout.flush
        zip.add_file(ARGV[1], "s", true, true)
        puts "finished"
      rescue Interrupt
        puts "interrupted"
      ensure
        zip.close
      end
    RUBY
    IO.popen([RbConfig.ruby, *$LOAD_PATH.map { |d| "-I#{d}" }, "-e", script, path("t.zip"), path("slow")]) do |child|
      assert_equal "adding\n", child.gets
      sleep 0.2
      Process.kill("INT", child.pid)
      assert_equal "interrupted\n", child.gets
    end
    assert valid_archive?(path("t.zip"))
    assert_operator entry_names(path("t.zip")).size, :<, 61
  end

  def test_timeout_fires_during_a_long_add_without_a_block
    slow_tree(60)
    zip = Parvox.new(path("t.zip"), "")
    assert_raises(Timeout::Error) { Timeout.timeout(0.2) { zip.add_file(path("slow"), "s", true, true) } }
    zip.close
    assert valid_archive?(path("t.zip"))
    assert_operator entry_names(path("t.zip")).size, :<, 61
  end

  # Large data is added on a thread of its own: an interrupt stops it at its
  # next chunk and takes the entry back out, as for add_file.
  def test_timeout_stops_a_large_add_data_and_leaves_its_entry_out
    script = <<~RUBY
      require "timeout"
      zip = Parvox.new(ARGV[0], "")
      # 128 MiB of hex digits: data deflate must work on (random bytes
      # would be stored, which takes next to no time).
      data = Random.new(3).bytes(64 << 20).unpack1("H*")
      begin
        Timeout.timeout(0.2) { zip.add_data(data, "big") }
        puts "finished"
      rescue Timeout::Error
        puts "stopped"
      end
      p zip.add_data("after", "after")
      p zip.close
    RUBY
    out, status = ruby_child(script, path("t.zip"), deadline: 120)
    assert status.success?, out
    assert_equal "stopped\ntrue\nnil\n", out
    assert_equal %w[after], entry_names(path("t.zip"))
  end

  # Data that deflate cannot shrink (stored) takes an interrupt pending from
  # the start before a whole copy of it is made, and leaves no entry.
  def test_an_interrupt_stops_large_data_before_it_has_gone_through
    linux_only "the peak memory in /proc"
    script = <<~RUBY
      data = Random.new(1).bytes(80 << 20)
      zip = Parvox.new(ARGV[0], "")
      peak = -> { File.read("/proc/self/status")[/VmHWM:\\s*(\\d+)/, 1].to_i << 10 }
      before = peak.call
      stopped = begin
        Thread.handle_interrupt(RuntimeError => :never) do
          Thread.current.raise("stop")
          Thread.handle_interrupt(RuntimeError => :on_blocking) { zip.add_data(data, "big") }
        end
      rescue RuntimeError => e
        e.message
      end
      p stopped, peak.call - before < (80 << 20), zip.add_data("after", "after"), zip.close
    RUBY
    assert_equal "\"stop\"\ntrue\ntrue\nnil\n", ruby_child(script, path("t.zip")).first
    assert_equal %w[after], entry_names(path("t.zip"))
    assert valid_archive?(path("t.zip"))
  end

  def test_other_threads_run_while_an_add_works
    slow_tree(20)
    count = 0
    counter = Thread.new { loop { count += 1 } }
    Thread.pass until count.positive?
    zip = Parvox.new(path("t.zip"), "")
    before = count
    assert zip.add_file(path("slow"), "s", true, true)
    during = count - before
    counter.kill
    zip.close
    # Holding the global lock for the whole add, the counter would not move.
    assert_operator during, :>, 100_000
  end

  def test_two_threads_sharing_one_object_take_turns
    slow_tree(8)
    make_tree(path("other"), "x.txt" => "x" * 1000)
    zip = Parvox.new(path("t.zip"), "pw")
    answers = [Thread.new { zip.add_file(path("slow"), "s", true, true) },
               Thread.new { zip.add_file(path("other"), "o", true, true) }].map(&:value)
    zip.close
    assert_equal [true, true], answers
    assert valid_archive?(path("t.zip"), "pw")
    names = entry_names(path("t.zip"))
    assert_equal 8 + 1 + 2, names.size
    # One add never interleaves with the other.
    s_positions = names.each_index.select { |i| names[i].start_with?("s/") }
    assert_equal (s_positions.first..s_positions.last).to_a, s_positions
  end
end
