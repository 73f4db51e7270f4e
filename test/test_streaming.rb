require_relative "helper"
require "stringio"
require "tempfile"
require "pathname"

# Archives written into an IO as they are made, and read from memory, an
# open file or any object with read and seek; paths given as Pathnames.
class TestStreaming < ParvoxTest
  TREE = {
    "src/a.txt" => "alpha\n" * 1000,
    "src/sub/b.bin" => (0..255).map(&:chr).join.b * 64,
    "src/empty/" => nil,
    "src/ünï.txt" => "named in UTF-8",
  }.freeze

  # Each entry of `archive` as Python's zipfile reads it: name => bytes
  # (hex), folders with no bytes.
  ZIPFILE_READ = <<~PY.freeze
    import json, sys, zipfile
    with zipfile.ZipFile(sys.argv[1]) as z:
        print(json.dumps({i.filename: z.read(i).hex() for i in z.infolist()}))
  PY

  # Under Wine, where Python is not at hand, Parvox reads them instead.
  def zipfile_entries(archive)
    if WINDOWS
      zip = Parvox.load(archive, "")
      return zip.entries.to_h { |e| [e.name, zip.read(e.name)] }.tap { zip.close }
    end
    out, err, status = Open3.capture3("python3", "-c", ZIPFILE_READ, archive)
    assert status.success?, "zipfile: #{err}"
    JSON.parse(out).transform_values { |hex| [hex].pack("H*") }
  end

  def tree_with_a_chunked_file
    make_tree(path("t"), TREE)
    # Over the whole-buffer bound: chunked, with a data descriptor.
    File.binwrite(path("t", "src", "big.bin"), ("x".b * 3 + noise(1 << 20)) * 9)
    path("t", "src")
  end

  # Every file beneath `root` with its bytes, by relative path.
  def files_of(root)
    tree_of(root).to_h.reject { |_, data| data == :dir }
  end

  # The bytes written into a pipe while `block` writes into its writing end,
  # read by another thread as they come.
  def bytes_through_pipe
    reading, writing = IO.pipe
    reader = Thread.new { reading.binmode.read }
    yield writing
    writing.close
    reader.value
  ensure
    reading&.close
  end

  def test_a_tree_into_a_pipe_reads_back_whole
    source = tree_with_a_chunked_file
    expected = files_of(source)
    ["", "pässword"].each do |password|
      first_report_saw_bytes = nil
      written = bytes_through_pipe do |pipe|
        counted = CountingIO.new(pipe)
        zip = Parvox.new(counted, password)
        assert(zip.add_file(source, "src", true, true) do |_, _, _|
          first_report_saw_bytes = counted.bytes if first_report_saw_bytes.nil?
        end, zip.last_error)
        assert_nil zip.close
        refute pipe.closed?, "close leaves the IO open"
        assert_equal [Thread.current], counted.threads, "written on the calling thread only"
      end
      assert_operator first_report_saw_bytes, :>, 0, "the first entry reached the IO while the add ran"
      archive = path("piped-#{password.empty? ? 'plain' : 'locked'}.zip")
      File.binwrite(archive, written)
      assert valid_archive?(archive, password), "7z t (#{password.inspect})"
      out = path("x-#{password.empty? ? 'plain' : 'locked'}")
      if password.empty?
        read = zipfile_entries(archive).reject { |name, _| name.end_with?("/") }
        assert_equal expected.transform_keys { |k| "src/#{k}" }, read
      else
        extracted = if WINDOWS
                      Parvox.load(archive, password).unzip_all(out)
                    else
                      Open3.capture2e("7z", "x", "-y", "-p#{password}", "-o#{out}", archive)[1].success?
                    end
        assert extracted, "extracting with the password"
        assert_equal expected, files_of(File.join(out, "src"))
      end
    end
  end

  # Counts what goes through, and the threads that wrote; the IO sees
  # `write` only.
  class CountingIO
    attr_reader :bytes, :threads

    def initialize(io)
      @io = io
      @bytes = 0
      @threads = []
    end

    def write(data)
      @threads |= [Thread.current]
      @bytes += data.bytesize
      @io.write(data)
    end
  end

  def test_a_stringio_gets_the_bytes_a_path_gets
    source = tree_with_a_chunked_file
    saved = ENV.values_at("SOURCE_DATE_EPOCH", "PARVOX_THREADS")
    ENV["SOURCE_DATE_EPOCH"] = "1500000000"
    archives = [["1", path("t.zip")], ["2", StringIO.new("".b)]].map do |threads, target|
      ENV["PARVOX_THREADS"] = threads
      zip = Parvox.new(target, "")
      assert zip.add_file(source, "src", true, true)
      assert zip.add_data("made in memory", "memory.txt", mtime: Time.at(1_400_000_000))
      assert_nil zip.close
      target.is_a?(StringIO) ? target.string : File.binread(target)
    end
    assert_equal archives[0], archives[1]
  ensure
    ENV["SOURCE_DATE_EPOCH"], ENV["PARVOX_THREADS"] = saved
  end

  # The consumer raises part-way: that add fails with the exception's class
  # and message, every later one fails, close writes nothing more.
  def test_a_consumer_that_raises_ends_the_archive
    script = <<~'RUBY'
      require "json"
      class Gone < IOError; end
      class Consumer
        attr_reader :writes_after_failure
        def initialize; @bytes = 0; @failed = false; @writes_after_failure = 0; end
        def write(data)
          @writes_after_failure += 1 if @failed
          @bytes += data.bytesize
          if @bytes > 3 << 20
            @failed = true
            raise Gone, "client gone"
          end
          data.bytesize
        end
      end
      consumer = Consumer.new
      zip = Parvox.new(consumer, "")
      added = zip.add_file(ARGV[0], "src", true, true)
      reason = zip.last_error
      later = zip.add_data("later", "later.txt")
      closed = zip.close
      reading, writing = IO.pipe
      reading.close
      piped = Parvox.new(writing, "")
      piped_added = piped.add_data("x" * 100, "x.txt")
      # An Interrupt from write while a chunked entry leaves: the call re-raises it.
      File.binwrite(big = File.join(ARGV[0], "..", "big.bin"), Random.new(1).bytes(8 << 20))
      interrupted = Array.new(10) do
        stopping = Object.new
        def stopping.write(data) (@calls = (@calls || 0) + 1) == 2 ? raise(Interrupt) : data.bytesize end
        begin; Parvox.new(stopping, "").add_file(big, "big.bin", false, false); rescue Interrupt; :interrupted; end
      end
      puts JSON.generate([added, reason, later, zip.last_error, closed, consumer.writes_after_failure,
                          piped_added, piped.last_error, piped.close, interrupted])
    RUBY
    FileUtils.mkdir_p(path("t"))
    4.times { |i| File.binwrite(path("t", "n#{i}.bin"), noise(1 << 20, i)) }
    out, status = ruby_child(script, path("t"), deadline: 60)
    assert status.success?, out
    added, reason, later, later_reason, closed, writes_after, piped_added, piped_reason, piped_closed, interrupted =
      JSON.parse(out.lines.last)
    assert_equal false, added
    assert_match(/Gone: client gone/, reason)
    assert_equal false, later
    assert_match(/Gone: client gone/, later_reason)
    assert_equal false, closed
    assert_equal 0, writes_after, "nothing is written after the IO failed"
    assert_equal false, piped_added
    assert_match(/Errno::EPIPE/, piped_reason)
    assert_equal false, piped_closed
    assert_equal ["interrupted"] * 10, interrupted
  end

  # Stopped inside a chunked entry whose first bytes had left (by the
  # progress block, or by Timeout while a slow pipe held the writer back):
  # the entry is not taken back, but the directory lists only whole entries
  # and adding goes on.
  def test_an_interrupted_entry_stays_out_of_the_directory
    script = <<~'RUBY'
      require "json"; require "stringio"; require "timeout"
      File.binwrite(ARGV[0], Random.new(1).bytes(24 << 20))
      # :first stops the stream's first entry: its bytes begin the stream.
      results = [:block, :timeout, :first].map do |how|
        reading, writing = how == :timeout ? IO.pipe : [nil, StringIO.new("".b)]
        drained = reading && Thread.new do
          out = "".b
          while (data = reading.read(1 << 16)); out << data; sleep 0.002; end
          out
        end
        zip = Parvox.new(writing, "")
        zip.add_data("before", "before.txt") unless how == :first
        raised = begin
          if how != :timeout
            zip.add_file(ARGV[0], "big.bin", false, false) { |_, done, _| raise "stop" if done > 0 }
          else
            Timeout.timeout(0.3) { zip.add_file(ARGV[0], "big.bin", false, false) }
          end
        rescue RuntimeError, Timeout::Error => e
          e.class.name
        end
        left = reading ? nil : writing.string.bytesize
        after = zip.add_data("after", "after.txt")
        closed = zip.close
        writing.close if reading
        bytes = reading ? drained.value : writing.string
        File.binwrite("#{ARGV[0]}.#{how}.zip", bytes)
        [raised, left, after, closed, zip.last_error]
      end
      # An interrupt on the way into the IO's write_nonblock, before it is
      # called (Timeout throws), leaves nothing behind: adding goes on.
      class << Thread
        alias_method :plain_handle_interrupt, :handle_interrupt
        def handle_interrupt(mask, &block)
          if $armed && mask.value?(:never)
            $armed = false
            throw :on_the_way_in
          end
          plain_handle_interrupt(mask, &block)
        end
      end
      zip = Parvox.new(io = StringIO.new("".b), "")
      $armed = true
      catch(:on_the_way_in) { zip.add_data("lost", "lost.txt") }
      results << [zip.add_data("kept", "kept.txt"), zip.close, zip.last_error]
      File.binwrite("#{ARGV[0]}.boundary.zip", io.string)
      puts JSON.generate(results)
    RUBY
    out, status = ruby_child(script, path("big.bin"), deadline: 120)
    assert status.success?, out
    (block, timeout, first, boundary) = JSON.parse(out.lines.last)
    assert_equal [true, nil, nil], boundary
    assert_equal({ "kept.txt" => "kept" }, zipfile_entries(path("big.bin.boundary.zip")))
    assert_equal ["RuntimeError", true, nil], block.values_at(0, 2, 3)
    assert_operator block[1], :>, 1 << 20, "bytes of big.bin had left"
    # Under Wine an IO is given whole blocks to `write`: the interrupt lands
    # inside it, and the archive is broken as the README says.
    assert_equal ["Timeout::Error", !WINDOWS, WINDOWS ? false : nil], timeout.values_at(0, 2, 3)
    # Readers that read from the start (7-Zip) take those bytes for a damaged entry.
    assert_equal ["RuntimeError", true, false], first.values_at(0, 2, 3)
    assert_match(/\Athe stream could not be finished: it begins with bytes of 'big.bin', /, first[4])
    (WINDOWS ? %w[block] : %w[block timeout]).each do |how|
      assert_equal({ "before.txt" => "before", "after.txt" => "after" },
                   zipfile_entries(path("big.bin.#{how}.zip")), how)
    end
  end

  # An IO's answers are checked, not trusted; a call re-entered from the
  # IO's own write is refused; every failure names its entry once and stays.
  def test_an_io_that_lies_fails_the_call_not_the_archive
    lying = Class.new(StringIO) do
      attr_accessor :lie, :answer, :zip, :inner_close, :kept
      def write_nonblock(data, **options)
        (self.kept ||= []) << data.dup  # shares data's bytes until either changes
        written = super
        self.inner_close ||= zip&.close if pos > 4000
        lie ? answer : written
      end
    end
    halves = Struct.new(:out, :answer) do
      def write(data)
        taken = answer || data.bytesize / 2 + 1
        out << data.byteslice(0, taken) if taken.is_a?(Integer) && taken.between?(1, data.bytesize)
        taken
      end
    end
    [[2**70, /answered 1180591620717411303424 for/], [nil, /answered nil/], ["x", /answered "x"/],
     [-1, /answered -1/], [0, /answered 0 for/], [700.0, /answered 700.0 for/]].each do |answer, reason|
      io = answer.is_a?(Numeric) ? halves.new("".b, answer) : lying.new("".b).tap { |l| l.lie, l.answer = true, answer }
      zip = Parvox.new(io, "")
      refute zip.add_data("hello" * 100, "a.txt"), answer.inspect
      assert_match(/\A'a.txt' could not be written to the stream: write(_nonblock)? #{reason.source}/, zip.last_error)
      refute zip.add_data("later", "later.txt")
      assert_match(/\Athe stream failed earlier: write/, zip.last_error)
      assert_equal [false, false], [zip.close, zip.close], "a failed close stays failed"
    end
    [halves.new("".b), lying.new("".b)].each do |io|
      zip = Parvox.new(io, "")
      io.zip = zip if io.is_a?(StringIO)
      assert zip.add_data(noise(400_000), "a.bin"), zip.last_error
      if io.is_a?(StringIO)
        assert_equal false, io.inner_close, "close from the IO's own write is refused"
        assert_equal io.string, io.kept.join, "what write_nonblock was given stays as given"
      end
      assert_nil zip.close
      assert_nil zip.last_error
      File.binwrite(path("whole.zip"), io.is_a?(StringIO) ? io.string : io.out)
      assert valid_archive?(path("whole.zip")), io.class.name
    end
    # What IO's write_nonblock never raises (a signal handler's, run as it returns) goes on.
    zip = Parvox.new(io = StringIO.new("".b), "")
    raising = TracePoint.new(:c_return, :return) { |tp| raise IndexError if tp.method_id == :write_nonblock && io.pos > 0 }
    assert_raises(IndexError) { raising.enable { zip.add_data(noise(300_000), "a.bin") } }
    assert_equal [false, "the stream failed earlier: IndexError: IndexError"], [zip.add_data("b", "b"), zip.last_error]
    return if WINDOWS
    # A child forked inside write (no block) goes on from there: it writes nothing more.
    forking = Struct.new(:log, :child) do
      def write(data) File.write(log, "#{Process.pid}\n", mode: "a") && (self.child ||= fork || 0) && data.bytesize end
    end.new(path("writers"))
    assert Parvox.new(forking, "").add_data(noise(3 << 20), "a.bin") || forking.child == 0
    exit!(0) if forking.child == 0
    Process.wait(forking.child)
    assert_equal [Process.pid.to_s], File.readlines(forking.log, chomp: true).uniq
  end

  # A pipe whose reader stalls: the String added is changed by another
  # thread, the pipe is closed by another, the add or the close is
  # interrupted; the archive keeps only what was added whole, and never hangs.
  def test_a_stalled_pipe_under_other_threads_and_interrupts
    linux_only "Windows writes an IO with blocking writes"
    script = <<~'RUBY'
      require "json"; require "timeout"
      # What the block answered, and the entries of the archive written.
      def pipe_archive
        reading, writing = IO.pipe
        $stall = true
        drained = Thread.new { out = "".b; while (d = (sleep 0.01 while $stall; reading.read(1 << 16))); out << d; end; out }
        zip = Parvox.new(writing, "")
        answer = yield zip, writing
        $stall = false
        zip.close
        writing.close unless writing.closed?
        File.binwrite(ARGV[0], drained.value)
        [answer, Parvox.load(ARGV[0], "")&.then { |z| z.entries.to_h { |e| [e.name, z.read(e.name)] } }]
      end
      results = {}
      results[:changed] = Array.new(10) do
        data = "a" * 900_000
        pipe_archive do |zip, _|
          changer = Thread.new { sleep 0.001; data.tr!("a", "b"); data.clear }
          zip.add_data(data, "a.txt").tap { changer.join }
        end.last == { "a.txt" => "a" * 900_000 }
      end
      results[:closed_meanwhile] = pipe_archive do |zip, writing|
        Thread.new { sleep 0.3; writing.close }
        [zip.add_data(Random.new(1).bytes(3 << 20), "a.bin"), zip.last_error]
      end.first
      results[:interrupted_add] = pipe_archive do |zip, _|
        zip.add_data("before", "before.txt")
        [(Timeout.timeout(0.3) { zip.add_data(Random.new(2).bytes(3 << 20), "big.bin") } rescue $!.class.name),
         zip.last_error]
      end.then { |answers, entries| answers + [entries.keys] }
      results[:interrupted_close] = pipe_archive do |zip, _|
        $stall = false
        3000.times { |i| zip.add_data("x", "#{'n' * 200}#{i}") }
        $stall = true
        Timeout.timeout(0.3) { zip.close } rescue $!.class.name
      end.then { |raised, entries| [raised, entries&.size] }
      # A child forked (no block) while the pipe is waited for goes on from there, writing nothing.
      IO.singleton_class.prepend(Module.new { def select(*); sleep 0.5 if !$forked && ($forked = fork || 0) != 0; super; end })
      results[:forked_in_wait] = pipe_archive do |zip, _|
        Thread.new { sleep 0.3; $stall = false }
        zip.add_data(Random.new(3).bytes(3 << 20), "c.bin").tap { exit!(0) if $forked == 0 }
      end.then { |added, entries| [added, entries == { "c.bin" => Random.new(3).bytes(3 << 20) }] }
      puts JSON.generate(results)
    RUBY
    out, status = ruby_child(script, path("p.zip"), deadline: 60)
    assert status.success?, out
    results = JSON.parse(out.lines.last)
    assert_equal [true] * 10, results["changed"], "the String's bytes as given"
    assert_equal [false, "'a.bin' could not be written to the stream: IOError: closed stream"],
                 results["closed_meanwhile"]
    assert_equal ["Timeout::Error", "stopped before 'big.bin' was added whole", ["before.txt"]],
                 results["interrupted_add"], "the entry on its way is out"
    assert_equal ["Timeout::Error", 3000], results["interrupted_close"], "close again writes the rest"
    assert_equal [true, true], results["forked_in_wait"]
  end

  def test_a_file_over_4_gib_into_a_pipe_gets_zip64
    linux_only "a sparse file, read back by python"
    huge_files_test
    big = path("big.bin")
    size = 4 * 1024**3 + 1
    File.open(big, "wb") { |f| f.truncate(size) }
    stream = bytes_through_pipe do |pipe|
      zip = Parvox.new(pipe, "")
      assert zip.add_file(big, "big.bin", false, false), zip.last_error
      assert zip.add_data("after", "after.txt")
      assert_nil zip.close
    end
    File.delete(big)
    File.binwrite(path("s.zip"), stream)
    out, status = Open3.capture2e("python3", "-c", <<~PY, path("s.zip"))
      import sys, zipfile
      z = zipfile.ZipFile(sys.argv[1])
      print([(i.filename, i.file_size) for i in z.infolist()], z.read("after.txt"))
    PY
    assert status.success?, out
    assert_equal "[('big.bin', #{size}), ('after.txt', 5)] b'after'\n", out
    assert_equal [0xFFFFFFFF, 5], ZipBytes.entries(path("s.zip")).map { |e| e[:size] }, "big.bin's size is in its ZIP64 field"
  end

  # A lost wake-up between the work and the thread serving read and seek
  # would hang: a child with a deadline runs it, workers racing.
  def test_load_reads_every_kind_of_source
    return load_every_kind_of_source if ENV["PARVOX_IN_CHILD"]
    out, status = ruby_child("require #{File.expand_path(__FILE__).dump}", "--", "-n", __method__.to_s,
                             deadline: 120, env: { "PARVOX_IN_CHILD" => "1", "PARVOX_THREADS" => "8" })
    assert status.success? && out.include?("1 runs, "), out
  end

  def load_every_kind_of_source
    zip_folder(tree_with_a_chunked_file, "src", password: "pw")
    bytes = File.binread(path("t.zip"))
    expected = tree_of(path("t", "src"))
    b_bin = expected.to_h.fetch("sub/b.bin")
    tempfile = Tempfile.new("parvox").tap { |t| t.binmode.write(bytes); t.flush }
    file = File.open(path("t.zip"), "rb").tap { |f| f.seek(7) }
    sources = {
      "StringIO" => StringIO.new(bytes.dup),
      "File" => file,
      "Tempfile" => tempfile,
      "read/seek" => Readable.new(bytes),
    }
    sources.each do |kind, source|
      zip = Parvox.load(source, "pw")
      refute_nil zip, "#{kind}: #{Parvox.last_error}"
      entry = zip.entries.find { |e| e.name == "src/sub/b.bin" }
      assert_equal b_bin, zip.read(entry.name), kind
      assert zip.unzip_all(path("out-#{kind}")), "#{kind}: #{zip.last_error}"
      assert_equal expected, tree_of(path("out-#{kind}", "src")), kind
      assert_nil zip.close
    end
    assert_equal 7, file.pos, "the File's position is left alone"
    refute file.closed?
  ensure
    file&.close
    tempfile&.close!
  end

  def test_load_refuses_what_it_cannot_read_back
    zip_folder(tree_with_a_chunked_file, "src")
    bytes = File.binread(path("t.zip"))
    reading, writing = IO.pipe
    writer = Thread.new { writing.write(bytes) rescue nil; writing.close }
    assert_nil Parvox.load(reading, "")
    assert_match(/seekable/, Parvox.last_error)
    reading.close
    writer.join

    shared = bytes.dup
    source = StringIO.new(shared)
    zip = Parvox.load(source, "")
    shared.replace("changed")
    assert_equal TREE["src/a.txt"], zip.read("src/a.txt"), "the reader keeps the bytes it was given"

    made = Parvox.new(path("d.zip"), "")
    made.add_data(TREE["src/a.txt"], "a.txt")
    made.close
    damaged = Parvox.load(StringIO.new(File.binread(ZipBytes.damage_first_entry(path("d.zip")))), "")
    assert_nil damaged.read("a.txt"), "a damaged entry is refused"
    refute damaged.unzip_all(path("damaged"))
    assert_nil Parvox.load(StringIO.new(bytes[0, bytes.size / 2]), "")
    assert_match(/StringIO/, Parvox.last_error)

    # Sources that fail or lie are named as such; whatever they raise (or
    # another thread raises meanwhile) goes on to the caller.
    File.binwrite(path("w.zip"), bytes)
    File.open(path("w.zip"), "ab") { |f| assert_nil Parvox.load(f, "") }
    assert_equal "the File cannot be read: it is not opened for reading", Parvox.last_error
    assert_nil Parvox.load(Readable.new(bytes).tap { |r| r.define_singleton_method(:size) { "12" } }, "")
    assert_equal %(the #{Readable} cannot be read: its size is "12", not a number of bytes), Parvox.last_error
    # A size past a Fixnum (a Bignum: on Windows from 1 GiB on) is still one.
    assert_nil Parvox.load(Readable.new(bytes).tap { |r| r.define_singleton_method(:size) { 2**62 } }, "")
    assert_match(/it ended early: read\(\d+\) at byte 46116860184273\d{5} answered nil/, Parvox.last_error)
    anonymous = Class.new(Readable)
    GC.stress = true; Parvox.load(anonymous.new(bytes[0, 100]), ""); GC.stress = false
    assert_equal "the #{anonymous.inspect} is not a zip archive", Parvox.last_error, "a name made for the call"
    ending = Readable.new(bytes)
    zip = Parvox.load(ending, "")
    ending.define_singleton_method(:read) { |n| @at < 1000 ? nil : super(n) }
    refute zip.unzip_all(path("ended"))
    assert_match(/\Athe archive could not be read: it ended early: read\(\d+\) at byte \d+ answered nil\z/, zip.last_error)
    ending.singleton_class.send(:remove_method, :read)
    ending.define_singleton_method(:read) { |n| sleep 0.01; super(n) }
    Thread.new(Thread.current) { |caller| sleep 0.2; caller.raise(ArgumentError, "stop") }
    assert_raises(ArgumentError) { zip.unzip_all(path("raised")) }
  end

  def test_every_path_argument_takes_a_pathname
    make_tree(path("t"), TREE)
    archive = Pathname.new(path("p.zip"))
    zip = Parvox.new(archive, "")
    refute_nil zip
    assert zip.add_file(Pathname.new(path("t", "src")), "src", true, true)
    assert_nil zip.close
    reader = Parvox.load(archive, "")
    refute_nil reader
    assert reader.unzip_file("src/a.txt", Pathname.new(path("one.txt")))
    assert_equal TREE["src/a.txt"], File.read(path("one.txt"))
    assert reader.unzip_all(Pathname.new(path("all")))
    assert_equal tree_of(path("t")), tree_of(path("all"))
    refute reader.unzip_all(Struct.new(:to_path).new("#{@dir}/nul\0x")), "a NUL is refused as in a String"
    assert_match(/NUL/, reader.last_error)
    assert_raises(TypeError) { reader.unzip_all(42) }
  end
end
