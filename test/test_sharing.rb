require_relative "helper"

# One object among forks, fibers, signal handlers and other threads: a child
# never writes to its parent's archive, a thread never waits for itself, and
# nothing holds an object for ever. Each case runs in a child Ruby with a
# deadline, so a hang fails the test.
class TestSharing < ParvoxTest
  def assert_child(script, *args)
    out, status = ruby_child(script, *args)
    assert status.success?, "the child failed: #{out}"
    out
  end

  def test_forked_children_never_write_to_the_parents_archive
    linux_only "fork"
    make_tree(path("src"), "a.txt" => "a" * 1000, "b.txt" => "b")
    slow_tree(20)
    args = %w[t.zip src slow u.zip out p.zip].map { |name| path(name) }
    out = assert_child(<<~RUBY, *args)
      zip = Parvox.new(ARGV[0], "")
      zip.add_file(ARGV[1] + "/a.txt", "a.txt", false, false)
      Process.wait(fork { })  # exits normally: finalizers run in the child
      Process.wait(fork { puts "child: \#{zip.add_file(ARGV[1], "x", true, true)} \#{zip.last_error}"; zip.close })
      puts "parent: \#{zip.add_file(ARGV[1] + "/b.txt", "b.txt", false, false)}"
      zip.close

      other = Parvox.new(ARGV[3], "")
      adding = Thread.new { other.add_file(ARGV[2], "s", true, true) }
      sleep 0.1
      Process.wait(fork { })  # while another thread of the parent adds
      puts "thread: \#{adding.value}"
      other.close

      # Nor extract: not even while the parent extracts on eight threads.
      ENV["PARVOX_THREADS"] = "8"
      reader = Parvox.load(ARGV[3], "")
      forked = nil
      extracted = reader.unzip_all(ARGV[4]) do
        forked ||= fork { puts "reader child: \#{reader.unzip_all(ARGV[4] + "-child")} \#{reader.last_error}"; $stdout.flush; exit!(0) }
      end
      Process.wait(forked)
      puts "reader: \#{extracted}"

      # Nor write into the IO an archive is written into.
      reading, writing = IO.pipe
      drained = Thread.new { reading.binmode.read }
      piped = Parvox.new(writing, "")
      piped.add_data("parent", "a.txt")
      Process.wait(fork { piped.add_data("child", "x.txt"); piped.close })
      piped.add_data("parent", "b.txt")
      piped.close
      writing.close
      File.binwrite(ARGV[5], drained.value)
    RUBY
    assert_match(/^child: false .*forked from/, out)
    assert_match(/^parent: true$/, out)
    assert_match(/^thread: true$/, out)
    assert_match(/^reader child: false .*forked from/, out)
    assert_match(/^reader: true$/, out)
    refute File.exist?(path("out-child")), "a forked child extracted"
    assert valid_archive?(path("t.zip"))
    assert_equal %w[a.txt b.txt], entry_names(path("t.zip"))
    assert valid_archive?(path("u.zip"))
    assert_equal 21, Parvox.load(path("u.zip"), "").entries.size
    assert valid_archive?(path("p.zip")), "an archive written into a pipe"
    assert_equal %w[a.txt b.txt], entry_names(path("p.zip"))
  end

  def test_a_child_forked_inside_a_progress_block_runs_and_exits
    linux_only "fork"
    slow_tree(4)
    out = assert_child(<<~RUBY, path("t.zip"), path("slow"))
      zip = Parvox.new(ARGV[0], "")
      children = []
      zip.add_file(ARGV[1], "s", true, true) do
        next if children.size == 2
        children << fork { puts "child with a block" }
        children << (fork || (puts "child without"; exit))  # exit unwinds through the call
      end
      children.each { |pid| Process.wait(pid) }
      zip.close
      puts "parent done"
    RUBY
    assert_equal ["child with a block", "child without", "parent done"], out.lines(chomp: true).sort
    assert valid_archive?(path("t.zip"))
    assert_equal 5, entry_names(path("t.zip")).size
  end

  def test_calls_from_another_fiber_of_the_busy_thread_answer_at_once
    make_tree(path("src"), "a.txt" => "a", "b.txt" => "b")
    zip_folder(path("src"), "s")
    out = assert_child(<<~RUBY, path("t.zip"), path("out"))
      zip = Parvox.load(ARGV[0], "")
      2.times do |round|
        sleeper = Thread.new { sleep } if round == 1  # hangs instead of raising when a thread is alive
        inner = []
        outer = zip.unzip_all(ARGV[1]) do
          inner << Fiber.new { zip.unzip_file("s/a.txt", ARGV[1] + "/x") }.resume if inner.empty?
        end
        puts [outer, inner].inspect
        sleeper&.kill
      end
    RUBY
    assert_equal ["[true, [false]]"] * 2, out.lines(chomp: true)
  end

  def test_a_call_ends_with_its_own_reason_whatever_its_block_or_a_handler_did
    linux_only "sends SIGUSR1"
    make_tree(path("src"), "a.bin" => noise(200 << 10, 3), "b.txt" => "b")
    zip_folder(path("src"), "s")
    FileUtils.mkdir_p(path("in_the_way/s/b.txt"))
    damaged = ZipBytes.damage_first_entry(python_zip([{ name: "d.txt", data: "damaged " * 8 }]))
    out = assert_child(<<~RUBY, path("t.zip"), path("out"), path("in_the_way"), damaged)
      zip = Parvox.load(ARGV[0], "")
      refused = ->(*) { zip.entries }  # from the block of the call using the object
      puts "block, true: \#{zip.unzip_all(ARGV[1], &refused)} \#{zip.last_error.inspect}"
      puts "block, false: \#{zip.unzip_all(ARGV[2], &refused)} \#{zip.last_error}"
      handled = false
      trap("USR1") { zip.read("s/b.txt"); handled = true }  # while another thread's call runs
      reading = Thread.new do
        zip.read("s/a.bin") { Process.kill("USR1", Process.pid); sleep 0.01 until handled }
      end
      puts "handler, true: \#{reading.value} \#{zip.last_error.inspect}"
      small = Parvox.load(ARGV[3], "")
      small.entries  # now its small entry is read on this thread, the block called after
      puts "closed by the block: \#{small.unzip_file("d.txt", ARGV[1] + "/d.txt") { small.close }} \#{small.last_error}"
    RUBY
    assert_equal ["block, true: true nil", "block, false: false '#{path("in_the_way/s/b.txt")}': Is a directory",
                  "handler, true: true nil", "closed by the block: false the archive was closed while the call ran"],
                 out.lines(chomp: true)
  end

  def test_close_ends_the_work_of_an_abandoned_enumerator
    linux_only "counts threads in /proc"
    # Ruby 2.7 raises FiberError when a block called from C switches fibers:
    # there an enumerator over a progress block ends at its first next.
    skip "Ruby 2.7 cannot suspend a progress block" if RUBY_VERSION < "3"
    make_tree(path("src"), (1..5).to_h { |i| ["f#{i}.txt", "x" * i] })
    zip_folder(path("src"), "s", archive: path("r.zip"))
    slow_tree(6)
    out = assert_child(<<~RUBY, path("r.zip"), path("out"), path("t.zip"), path("slow"))
      # Parvox's threads, by name: Ruby starts and ends threads of its own.
      threads = -> { Dir.glob("/proc/self/task/*/comm").count { |c| (File.read(c) rescue "").start_with?("parvox") } }
      ENV["PARVOX_THREADS"] = "1"  # one thread per operation: adding without workers
      reader = Parvox.load(ARGV[0], "")
      extracting = reader.enum_for(:unzip_all, ARGV[1])
      2.times { extracting.next }
      writer = Parvox.new(ARGV[2], "")
      adding = writer.enum_for(:add_file, ARGV[3], "s", true, true)
      2.times { adding.next }
      puts "working threads: \#{threads.call}"
      reader.close
      writer.close
      puts "after close: \#{threads.call} \#{reader.unzip_all(ARGV[1])} \#{reader.last_error}"
      other = Parvox.load(ARGV[0], "")
      Thread.new { abandoned = other.enum_for(:unzip_all, ARGV[1]); 2.times { abandoned.next } }.join
      puts "after its thread ended: \#{other.unzip_file("s/f1.txt", ARGV[1] + "/one")}"
      small = Parvox.load(ARGV[0], "")  # a small entry is read on the calling thread
      chunks = small.enum_for(:read, "s/f1.txt")
      first = chunks.next
      small.close
      puts "a small read: \#{first} \#{(chunks.next rescue $!.class)}"
    RUBY
    assert_match(/^working threads: 2$/, out)
    assert_match(/^after close: 0 false the archive is closed$/, out)
    assert_match(/^after its thread ended: true$/, out)
    assert_match(/^a small read: x StopIteration$/, out)
    assert valid_archive?(path("t.zip"))
  end

  def test_signal_handlers_close_and_call_without_waiting
    linux_only "sends SIGTERM"
    slow_tree(60)
    out = assert_child(<<~RUBY, path("t.zip"), path("slow"), path("idle.zip"))
      idle = Parvox.new(ARGV[2], "")
      trap("USR1") { idle.add_file(ARGV[1] + "/f000.bin", "f", false, false); idle.close }
      Process.kill("USR1", Process.pid)
      sleep 0.2
      zip = Parvox.new(ARGV[0], "")
      trap("TERM") do
        puts "busy: \#{zip.add_file(ARGV[1], "again", true, true)}"
        zip.close
        exit
      end
      zip.add_file(ARGV[1], "s", true, true) { |_, done| Process.kill("TERM", Process.pid) if done > 0 }
      puts "not interrupted"
    RUBY
    assert_equal "busy: false\n", out
    assert valid_archive?(path("t.zip"))
    assert_operator entry_names(path("t.zip")).size, :<, 61
    assert_equal ["f"], entry_names(path("idle.zip"))
  end

  def test_breaking_out_of_each_entry_closes_its_descriptor_at_once
    linux_only "sets a descriptor limit"
    make_tree(path("src"), "a.txt" => "a")
    zip_folder(path("src"), "s")
    out = assert_child(<<~RUBY, path("t.zip"), path("out"))
      Process.setrlimit(:NOFILE, 64)
      GC.disable
      zip = Parvox.load(ARGV[0], "")
      300.times { zip.each_entry { break } }
      300.times { zip.each_entry { raise "x" } rescue nil }
      puts "\#{zip.entries&.size} \#{zip.unzip_all(ARGV[1])}"
    RUBY
    assert_equal "2 true\n", out
  end
end
