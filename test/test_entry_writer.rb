require_relative "helper"
require "csv"
require "stringio"
require "timeout"

# write_entry: an entry's data written into a sink as the block makes it.
class EntryWriterTest < ParvoxTest
  # About 5 MiB of CSV: more than one buffer, so the entry is streamed in
  # chunks with its sizes after its data.
  ROWS = Array.new(110_000) { |i| [i, "row #{i}", "x" * (i % 60)] }

  READ_BACK = <<~PY
    import sys, zipfile
    z = zipfile.ZipFile(sys.argv[1])
    assert z.testzip() is None
  PY

  # A CSV made row by row into an archive streamed into a pipe, read by
  # another thread: every reader gets the whole entry back, at any number of
  # threads, with and without a password; a small entry is the one add_data
  # makes of the same bytes.
  def test_entries_made_as_written_read_back_whole
    csv = CSV.generate { |out| ROWS.each { |row| out << row } }
    plain = {}
    [["", "1"], ["", "2"], ["pw", "1"], ["pw", "2"]].each do |password, threads|
      ENV["PARVOX_THREADS"] = threads
      archive = path("#{password}#{threads}.zip")
      File.binwrite(archive, streamed_archive(password))
      what = "password #{password.inspect}, #{threads} threads"
      plain[threads] = File.binread(archive) if password.empty?
      zip = Parvox.load(archive, password)
      assert csv == zip.read("report.csv"), "#{what}: Parvox reads the CSV back"
      assert_equal ["a\nb\n"] * 2, %w[small.txt same.txt].map { |name| zip.read(name) }, what
      small, same = %w[small.txt same.txt].map { |name| zip[name].to_h.reject { |key, _| key == :name } }
      assert_equal same, small, "#{what}: the small entry is add_data's"
      assert_peer_reads(archive, password, what)
    ensure
      ENV.delete("PARVOX_THREADS")
    end
    assert plain["1"] == plain["2"], "the archive's bytes do not depend on the threads"
  end

  # A block that raises, breaks or is interrupted leaves its entry out, into
  # a file and into an IO; the exception goes on, and the archive stays whole.
  def test_entries_given_up_are_left_out
    chunk = "z" * 300_000
    endings = {
      "raise" => ->(zip) { assert_raises(RuntimeError) { zip.write_entry("gone") { |io| 20.times { io << chunk }; raise "no" } } },
      "timeout" => ->(zip) { assert_raises(Timeout::Error) { Timeout.timeout(0.3) { zip.write_entry("gone") { |io| loop { io << chunk } } } } },
      "break" => ->(zip) { assert_equal 7, zip.write_entry("gone") { |io| 20.times { io << chunk }; break 7 } },
      "refused name" => ->(zip) { refute zip.write_entry("../gone") { flunk "the block runs for a refused name" } },
    }
    endings.each do |ending, give_up|
      [path("#{ending}.zip"), StringIO.new].each do |target|
        zip = Parvox.new(target, "")
        assert zip.write_entry("before") { |io| io.write("before") }
        give_up.call(zip)
        assert zip.write_entry("after") { |io| io.write("after") }, "#{ending}: #{zip.last_error}"
        assert_nil zip.close
        bytes = target.is_a?(StringIO) ? target.string : File.binread(target)
        archive = File.binwrite(path("out.zip"), bytes) && path("out.zip")
        assert_equal %w[before after], Parvox.load(archive, "").entries.map(&:name), ending
        assert_peer_reads(archive, "", ending)
      end
    end
  end

  # The sink outside its call: kept past the block, handed to another thread,
  # used after the archive was closed under it (a trailer written again in
  # an ensure), from the archive's IO's own write. Each write raises,
  # nothing hangs, the call answers false unless its bytes are whole, and
  # the raising face says why the call failed.
  def test_sinks_used_out_of_turn_raise
    out, status = ruby_child(<<~RUBY, path("t.zip"), deadline: 60)
      zip = Parvox.new(ARGV[0], "")
      kept = nil
      zip.write_entry("a") { |io| kept = io; io << "a" }
      p((kept.write("late") rescue $!.message))
      p(zip.write_entry("b") { |io| Thread.new { io.write("x") rescue p($!.message) }.join })
      p(zip.write_entry("c") { |io| io << "x" * 3_000_000; zip.close; io << "y" }, zip.last_error)
      created = Parvox.create(ARGV[0] + "2")
      p((created.write_entry("/abs") { } rescue $!.class))
      again = Parvox.new(ARGV[0] + "3", "")
      p((again.write_entry("d") { |io| again.close; begin; io << "x"; ensure; (io << "trailer" rescue nil); end } rescue $!.class))
      target, bytes, sink, nested = Object.new, "".b, nil, []
      target.define_singleton_method(:write) do |block|
        nested << (sink.write("n" * 3_000_000) rescue $!.class) if sink && nested.empty?
        bytes << block && block.bytesize
      end
      streamed = Parvox.new(target, "")
      p(streamed.write_entry("e") { |io| sink = io; 6.times { io << "q" * 3_000_000 } }, streamed.close, nested)
      File.binwrite(ARGV[0] + "4", bytes)
    RUBY
    assert status.success?, out
    assert_equal ['"closed stream"', '"an entry is written only by the thread running its write_entry block"',
                  "true", "false", '"the archive was closed while the call ran"', "Parvox::InvalidNameError",
                  "false", "true", "nil", "[IOError]"],
                 out.lines.map(&:chomp)
    assert valid_archive?(path("t.zip4")), "the IO's bytes left in order"
  end

  # Half a GiB into an IO that discards it grows the peak memory by what
  # the pipe and the workers hold, not by what the allocator keeps of chunks
  # made on one thread and freed on another (in a child, whose peak is its own).
  def test_large_entries_hold_bounded_memory
    linux_only "peak memory as /proc tells it"
    plain_memory_only
    %w[1 2 8].each do |threads|
      out, status = ruby_child(<<~RUBY, env: { "PARVOX_THREADS" => threads }, deadline: 120)
        peak = -> { File.read("/proc/self/status")[/^VmHWM:\\s*(\\d+)/, 1].to_i << 10 }
        block = Array.new(1 << 14) { |i| format("%063d\\n", i * 7919) }.join
        zip = Parvox.new(File.open(File::NULL, "wb"), "")
        before = peak.call
        p zip.write_entry("big") { |io| 512.times { io.write(block) } }, zip.close, peak.call - before < 64 << 20 || peak.call - before
      RUBY
      assert_equal "true\nnil\ntrue\n", out, "#{threads} threads: #{status}"
    end
  end

  private

  # zipfile, or 7z for AES, reads every entry whole (on Linux, where they are).
  def assert_peer_reads(archive, password, what)
    return if WINDOWS
    peer = password.empty? ? ["python3", "-c", READ_BACK, archive] : ["7z", "t", "-p#{password}", archive]
    out, status = Open3.capture2e(*peer)
    assert status.success?, "#{what}: #{peer.first} reads it back: #{out}"
  end

  def streamed_archive(password)
    ENV["SOURCE_DATE_EPOCH"] = "1700000000"
    reader, writer = IO.pipe
    bytes = Thread.new { reader.binmode.read }
    zip = Parvox.new(writer, password)
    assert zip.write_entry("report.csv") { |io| out = CSV.new(io); ROWS.each { |row| out << row } }, zip.last_error
    assert zip.write_entry("small.txt", mtime: Time.at(1_600_000_000)) { |io| io.puts("a", "b") }
    assert zip.add_data("a\nb\n", "same.txt", mtime: Time.at(1_600_000_000))
    zip.close
    writer.close
    bytes.value
  ensure
    ENV.delete("SOURCE_DATE_EPOCH")
  end
end
