require_relative "helper"
require "csv"
require "stringio"

# Parvox#open_entry: an entry read as an IO, decoded piece by piece.
class TestEntryReader < ParvoxTest
  # Around the bounds: small (read on the calling thread), whole-decoded,
  # and larger entries decoded in pieces, ahead on a worker.
  SIZES = [0, 1000, 70_000, (5 << 20) + 7].freeze

  def text(size, seed = 0)
    lines = Array.new(size / 40 + 1) { |i| "#{i + seed},#{'é' * (i % 7)}#{'x' * (i * 7 % 53)}\r\n" }.join
    lines.b[0, size]
  end

  def producers
    files = SIZES.map { |size| ["f#{size}.txt", text(size)] }.to_h
    files.each { |name, data| File.binwrite(path(name), data) }
    made = {}
    Dir.chdir(@dir) do
      system("zip", "-q", "zip.zip", *files.keys, exception: true)
      system("7z", "a", "-tzip", "-pPW", "-mem=AES256", "aes.zip", *files.keys, out: File::NULL, exception: true)
    end
    made["zip"] = [path("zip.zip"), nil]
    made["7z AES"] = [path("aes.zip"), "PW"]
    [[0, ""], [6, "pw"]].each do |level, password|
      archive = path("parvox-#{level}-#{password}.zip")
      Parvox.new(archive, password, level: level) { |zip| files.each { |name, data| zip.add_data(data, name) } }
      made["Parvox level #{level} password #{password.inspect}"] = [archive, password]
    end
    [made, files]
  end

  READS = {
    each_line: ->(io) { io.each_line.to_a.join.b },
    read_n: ->(io) { (+"").b.tap { |all| while (chunk = io.read(65_521)) do all << chunk end } },
    readpartial: lambda do |io|
      (+"").b.tap { |all| loop { all << io.readpartial(100_000, +"") } rescue EOFError }
    end,
    copy_stream: ->(io) { StringIO.new(+"").tap { |out| IO.copy_stream(io, out) }.string.b },
  }.freeze

  def test_every_source_and_producer_reads_as_read_does
    linux_only "zip and 7z"
    made, files = producers
    made.each do |producer, (archive, password)|
      bytes = File.binread(archive)
      { path: archive, string_io: StringIO.new(bytes), read_and_seek: Readable.new(bytes) }.each do |source, given|
        Parvox.load(given, password) do |zip|
          files.each do |name, data|
            assert_equal data, zip.read(name).b, "#{producer} #{name}: read"
            READS.each do |how, read|
              got = zip.open_entry(name) { |io| read.call(io) }
              assert got == data, "#{producer} from #{source}, #{name} by #{how}: #{got&.bytesize} bytes"
            end
          end
        end
      end
    end
  end

  # Lines read as File reads them, whatever separator, limit and chomp, also
  # across pieces; CSV reads by them.
  def test_lines_as_a_file_reads_them
    big = text(5 << 20)
    big = big[0..big.rindex("\r\n") + 1]
    File.binwrite(path("t.txt"), "\n\na\r\nb\n\n\n\nc\nd\r\n\r\neé€x" * 5000)
    File.binwrite(path("big.txt"), big)
    Parvox.new(path("t.zip"), "") { |zip| zip.add_file(path("t.txt"), "t.txt"); zip.add_file(path("big.txt"), "big.txt") }
    Parvox.load(path("t.zip")) do |zip|
      cases = [[], [""], [nil], ["\r\n"], [2], ["\n", 1], ["", 2], [nil, 3], ["c\nd"]].product([false, true]).map { |c| ["t.txt", *c] }
      (cases + [["big.txt", ["\r\n", 1000], true], ["big.txt", [nil, 1024], false]]).each do |name, args, chomp|
        # Binary mode: Windows' text mode would turn "\r\n" into "\n".
        want = File.open(path(name), "rb", external_encoding: Encoding.default_external) { |f| f.each_line(*args, chomp: chomp).to_a }
        got = zip.open_entry(name) { |io| io.each_line(*args, chomp: chomp).to_a }
        assert want == got && want.map(&:encoding) == got.map(&:encoding), "#{name}: each_line(#{args}, chomp: #{chomp})"
      end
      rows = zip.open_entry("big.txt") { |io| CSV.new(io, headers: true).each.to_a }
      assert_equal [big.count("\n") - 1, big.dup.force_encoding(Encoding.default_external).lines.last.chomp.split(",")], [rows.size, rows.last.fields]
      data = File.binread(path("t.txt"))
      zip.open_entry("t.txt") do |io|
        assert_equal [Encoding::BINARY, "\r", "\n", 5, data.bytesize], [io.read(3).encoding, io.getc, io.readchar, io.pos, io.size]
        assert_raises(Errno::ESPIPE) { io.rewind }
        assert_equal [data.byteslice(5..), "", nil, true], [io.read.b, io.read, io.read(1), io.eof?]
        assert_raises(EOFError) { io.readline }
      end
    end
  end

  # Odd data read by lines and characters as File reads it, where a piece
  # ends anywhere in it: invalid and cut characters, separators cut or
  # unfinished at a limit, paragraphs, separators of another encoding.
  def test_odd_data_by_lines_and_characters_as_a_file_reads_it
    motif = "a\xE2\x82\rb€\n\n\nxxé\r\n\xFF\xF0\x9F\x98\x80y\x82\xA0xx\n\xC3".b
    piece = 128 << 10  # in pieces past 4 MiB
    data = "z".b * (39 * piece + 200)
    starts = (1..motif.size).map { |shift| (38 - motif.size + shift) * piece - 4 }
    starts.each_with_index { |at, shift| data[at - shift, motif.size * 3] = motif * 3 }
    File.binwrite(path("o.txt"), data)
    Parvox.new(path("o.zip"), "", level: 0) { |zip| zip.add_file(path("o.txt"), "o") }
    separators = [[], ["xxx"], [""], [nil], ["\r\n"], ["é"], ["\xFF".b], ["x\x82".b]]
    calls = ->(i, turn) { [[:getc], [:gets, *separators[i % 8], i % 20 + 1], [:readline, *separators[i % 8], i % 17 + 1, chomp: i.odd?]][turn > 2 ? 0 : i % 3] }
    verbose, was = $VERBOSE, Encoding.default_external
    [Encoding::UTF_8, Encoding::Shift_JIS].product([0, 1, 2, 3]).each do |external, turn|
      $VERBOSE = nil
      Encoding.default_external = external
      run = lambda do |io|
        said = starts.flat_map do |at|
          io.read([at - turn * 3 - io.pos, 0].max)
          Array.new(40) { |step| io.public_send(*calls[step + turn * 7, turn]) rescue $!.class }
        end
        said + [io.each_line(*separators[turn], turn * 3 + 1, chomp: turn == 1).to_a] rescue said + [$!.class]
      end
      want = File.open(path("o.txt"), "rb", external_encoding: external) { |file| run.call(file) }
      got = Parvox.load(path("o.zip")) { |zip| zip.open_entry("o") { |io| run.call(io) } }
      encodings = ->(said) { said.flatten.map { |s| s.is_a?(String) ? s.encoding : s } }
      assert want == got && encodings[want] == encodings[got], "#{external} #{turn}: #{want.zip(got).find { |w, g| w != g }}"
    end
  ensure
    Encoding.default_external = was
    $VERBOSE = verbose
  end

  def lying(name, data, **fields)
    { name: name, data: data, local: fields, central: fields }
  end

  # The whole entry's checks hold: the raise comes at the read that reaches
  # the end (or the declared size), what was read before being the entry's
  # where it can be known to be.
  def test_damage_raises_at_the_end_read
    data = text((5 << 20) + 3, 1)
    cases = {
      "wrong CRC" => [ZipBytes.write(path("crc.zip"), [lying("e", data, crc: 1)]), "", data.bytesize],
      "declared longer" => [ZipBytes.write(path("long.zip"), [lying("e", data, size: data.bytesize + 1)]), "", data.bytesize],
      # The piece that would pass the declared size is not handed out.
      "declared shorter" => [ZipBytes.write(path("short.zip"), [lying("e", data, size: data.bytesize - 9)]), "", (5 << 20) - (128 << 10)],
    }
    [[6, "", "deflated"], [0, "pw", "AES"]].each do |level, password, kind|
      archive = path("flip-#{level}.zip")
      Parvox.new(archive, password, level: level) { |zip| zip.add_data(data, "e") }
      cases["#{kind}, a byte flipped"] = [ZipBytes.damage_first_entry(archive), password, nil]
    end
    cases.each do |what, (archive, password, read_before)|
      [[:load, IOError], [:open, Parvox::DamagedEntryError]].each do |face, error|
        Parvox.public_send(face, archive, password) do |zip|
          zip.open_entry("e") do |io|
            got = (+"").b
            raised = assert_raises(error, "#{what} (#{face})") { loop { got << io.readpartial(1 << 20) } }
            assert_equal error, raised.class, "#{what} (#{face}): #{raised.message}"
            assert got.bytesize >= read_before && data.start_with?(got), "#{what}: #{got.bytesize} bytes before the raise" if read_before
            assert_raises(error, "#{what}: read again") { io.read }
          end
        end
      end
    end
  end

  # Entries that cannot be opened: nil and last_error, or the raise of the
  # kind; the block is never called.
  def test_entries_that_cannot_be_opened
    Parvox.new(path("a.zip"), "pw") { |zip| zip.add_data("x", "secret") }
    ZipBytes.write(path("b.zip"), [{ name: "dir/", data: nil, stored: true }, lying("odd", "abc", method: 77),
                                   lying("bomb", "abc", size: 0xFFFF_FFF0)])
    writing = Parvox.new(path("w.zip"), "")
    closed = Parvox.load(path("b.zip")).tap(&:close)
    [[path("a.zip"), "pw", "none", Parvox::EntryNotFoundError], [path("a.zip"), "no", "secret", Parvox::PasswordError],
     [path("a.zip"), nil, "secret", Parvox::PasswordError], [path("b.zip"), nil, "dir/", Parvox::Error],
     [path("b.zip"), nil, "odd", Parvox::UnsupportedError], [path("b.zip"), nil, "bomb", Parvox::DamagedEntryError],
     [writing, nil, "x", Parvox::Error], [closed, nil, "x", Parvox::Error]].each do |source, password, name, error|
      zip = source.is_a?(Parvox) ? source : Parvox.load(source, password)
      assert_nil zip.open_entry(name) { flunk "the block ran for #{name}" }
      refute_nil zip.last_error, name
      next if source.is_a?(Parvox)
      raised = assert_raises(error, name) { Parvox.open(source, password) { |z| z.open_entry(name) { flunk } } }
      assert_equal name, raised.entry
    end
    writing.close
  end

  # The caller's Strings changed while a fetch waits (from the source's read):
  # the read's buffer is locked as IO#read locks its own, the separator copied.
  def test_strings_changed_while_a_fetch_waits
    data = text((5 << 20) + 11)
    Parvox.new(path("s.zip"), "", level: 0) { |zip| zip.add_data(data, "e") }
    changes = [->(s) { s << "junk" }, :clear.to_proc, ->(s) { s.replace("q" * (3 << 20)) }, ->(s) { s.force_encoding("UTF-16LE") }]
    changes.product([1_000_000, nil, :each_line]).each do |change, length|
      source = Readable.new(File.binread(path("s.zip")))
      io = Parvox.load(source).open_entry("e")
      at, given = io.gets.bytesize, +"\r\n"
      source.define_singleton_method(:read) { |count| change.call(given) rescue RuntimeError; singleton_class.remove_method(:read); super(count) }
      lines, most = 0, data.byteslice(at..).each_line("\r\n").count
      io.each_line(given) { (lines += 1) > most ? break : nil } if length == :each_line
      next assert_equal(most, lines, "each_line") if length == :each_line
      got = io.read(length, given)
      want = data.byteslice(at, length || data.bytesize)
      assert got.equal?(given) && got.b == want, "read(#{length}, buffer), change #{changes.index(change)}: " \
                                                  "#{got.bytesize} bytes, #{got.b == want ? 'the same' : 'others'}"
    end
  end

  def test_lifetime_close_blocks_threads_and_the_collector
    data = text((5 << 20) + 1)
    Parvox.new(path("l.zip"), "", level: 0) { |zip| zip.add_data(data, "e"); zip.add_data(data, "f") }
    kept = nil
    assert_raises(RuntimeError) { Parvox.load(path("l.zip")) { |zip| zip.open_entry("e") { |io| kept = io; raise "out" } } }
    assert kept.closed?, "the block form closes"
    [path("l.zip"), StringIO.new(File.binread(path("l.zip")))].each do |source|
      zip = Parvox.load(source)
      early, late = zip.open_entry("e"), zip.open_entry("f")
      early.read(10)
      assert_equal data, Thread.new { late.read.b }.value, "read on another thread"
      zip.close
      assert early.closed?
      assert_raises(IOError) { early.read(1) }
    end
    escaped = Parvox.load(path("l.zip")).open_entry("f")  # keeps its archive
    GC.start
    assert_equal data, escaped.read.b
    escaped.close
  end

  # Readers let go without a close: the collector knows what their decoders
  # hold (an entry decoded whole, chunks decoded ahead on a thread of their
  # own), and collects them before that adds up.
  def test_readers_let_go_unclosed_are_collected_in_time
    linux_only "VmHWM"
    plain_memory_only
    Parvox.new(path("m.zip"), "") { |zip| zip.add_data(Random.new(1).bytes(3 << 20), "whole"); zip.add_data(text(6 << 20), "ahead") }
    out, status = ruby_child(<<~'RUBY', path("m.zip"), deadline: 120)
      status = -> { File.read("/proc/self/status") }
      zip = Parvox.load(ARGV[0])
      before, threads = status.call[/VmHWM:\s+(\d+)/, 1].to_i, 0
      150.times { zip.open_entry("whole").read(10) }
      300.times { zip.open_entry("ahead").read(10); threads = [threads, status.call[/Threads:\s+(\d+)/, 1].to_i].max }
      puts "grew #{status.call[/VmHWM:\s+(\d+)/, 1].to_i - before} KiB, #{threads} threads"
    RUBY
    grew, threads = out[/grew (\d+) KiB, (\d+) threads/] && [$1.to_i, $2.to_i]
    assert status.success? && grew && grew < 200_000 && threads < 150, out
  end

  CHILD = <<~'RUBY'.freeze
    require "timeout"
    require "stringio"
    eval(ARGV[1])
    # Slow to answer, so that interrupts land while it serves a fetch.
    class Slow < Readable
      def read(count)
        sleep 0.0003
        super
      end
    end
    bytes = File.binread(ARGV[0])
    [ARGV[0], StringIO.new(bytes), Slow.new(bytes)].each do |source|
      zip = Parvox.load(source)
      io = zip.open_entry("e")
      io.read(10)
      if Process.respond_to?(:fork)
        pid = fork { io.read rescue exit!(0); exit!(1) }
        raise "the child read through the parent's reader" unless Process.wait2(pid)[1].success?
      end
      200.times do
        Timeout.timeout(0.0005) { io.read(50_000) }
      rescue Timeout::Error, IOError
      end
      other = zip.open_entry("e")
      reader = Thread.new { loop { other.read(70_000) or break } rescue IOError }
      20.times { sleep 0.001; reader.raise("stop") if reader.alive? } rescue nil
      reader.join rescue nil
      [io, other].reject(&:closed?).each do |left|
        at = left.pos
        raise "lost its place" unless left.read.bytesize == left.size - at
      end
      zip.open_entry("e") { |again| again.read.bytesize == 5 << 20 or raise "a new reader reads whole" }
      zip.close
    end
    puts "ok"
  RUBY

  # A hang fails by the deadline, a crash by the status.
  def test_interrupts_and_forks_during_reads_leave_it_usable
    Parvox.new(path("i.zip"), "") { |zip| zip.add_data(text(5 << 20), "e") }
    out, status = ruby_child(CHILD, path("i.zip"), READABLE, deadline: 120)
    assert status.success? && out.include?("ok"), out
  end
end
