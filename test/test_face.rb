require_relative "helper"
require "stringio"

# The Ruby-shaped face: block forms that close, instances of open and create
# that raise a Parvox::Error of the failure's kind, an optional password.
class TestFace < ParvoxTest
  def test_block_forms_close_the_archive_however_the_block_ends
    %i[new create].each do |maker|
      [:value, :raise, :break].each do |ending|
        archive = path("#{maker}-#{ending}.zip")
        result = begin
          [Parvox.public_send(maker, archive) do |zip|
            zip.add_data("kept", "a.txt")
            raise IOError, "from the block" if ending == :raise
            break :broken if ending == :break
            :value
          end]
        rescue IOError => e
          e.message
        end
        expected = { value: [:value], raise: "from the block", break: [:broken] }[ending]
        assert_equal expected, result, "#{maker}, #{ending}"
        assert_equal({ "a.txt" => "kept" }, Parvox.open(archive) { |zip| zip.to_h { |e| [e.name, zip.read(e.name)] } })
        File.rename(archive, "#{archive}.moved") # the handle is released, also on Windows
      end
    end
    assert_nil Parvox.load(path("missing.zip")) { flunk "no block without an archive" }
  end

  # A close that fails raises after a block that returned, also inside a
  # rescue clause; after one that raised, the block's exception goes on.
  def test_a_failing_close_raises_unless_the_block_raised
    sink = Struct.new(:gone) { define_method(:write) { |bytes| gone ? raise(IOError, "gone") : bytes.bytesize } }.new
    create = lambda do |raising|
      Parvox.create(sink.tap { sink.gone = false }) { |zip| zip.add_data("x", "x") && (sink.gone = true) && raising && raise(ArgumentError, "mine") }
    end
    assert_raises(Parvox::WriteError) { create.call(false) }
    assert_raises(Parvox::WriteError) { begin; raise "handled"; rescue StandardError; create.call(false); end }
    assert_equal "mine", assert_raises(ArgumentError) { create.call(true) }.message
  end

  # Each kind of failure raises its class, with the reason last_error would
  # give and the entry's name where the call named one.
  def test_each_kind_of_failure_raises_its_class
    Parvox.create(path("t.zip"), "pw") { |zip| zip.add_data("secret", "s.txt") }
    plain = Parvox.new(path("p.zip")).tap { |zip| zip.add_data("plain", "d.txt") && zip.close }
    refute_nil plain
    File.binwrite(path("junk.zip"), "not a zip")
    ZipBytes.write(path("evil.zip"), [{ name: "../evil", data: "x" }])
    cases = {
      Parvox::NotAnArchiveError => -> { Parvox.open(path("junk.zip")) },
      Parvox::ReadError => -> { Parvox.open(path("missing.zip")) },
      Parvox::PasswordError => -> { Parvox.open(path("t.zip"), "wrong") { |zip| zip.read("s.txt") } },
      Parvox::EntryNotFoundError => -> { Parvox.open(path("t.zip"), "pw") { |zip| zip.read("nope.txt") } },
      Parvox::DamagedEntryError => -> { Parvox.open(ZipBytes.damage_first_entry(path("p.zip"))) { |zip| zip.read("d.txt") } },
      Parvox::UnsafeEntryError => -> { Parvox.open(path("evil.zip")) { |zip| zip.unzip_all(path("out")) } },
      Parvox::InvalidNameError => -> { Parvox.create(path("n.zip")) { |zip| zip.add_data("x", "../up.txt") } },
      Parvox::WriteError => -> { Parvox.create(WINDOWS ? path("dir") : "/dev/full") { |zip| zip.add_data("x" * 99, "f.txt") } },
      Parvox::BusyError => -> { Parvox.create(path("b.zip")) { |zip| zip.add_file(path("t.zip"), "t.zip", false, false) { zip.add_data("x", "y") } } },
    }
    FileUtils.mkdir_p(path("dir"))
    cases.each do |error, call|
      raised = assert_raises(error, error.name) { call.call }
      refute_empty raised.message, error.name
    end
    raised = assert_raises(Parvox::EntryNotFoundError) { Parvox.open(path("t.zip"), "pw") { |zip| zip.read("nope.txt") } }
    assert_equal ["no entry named 'nope.txt'", "nope.txt"], [raised.message, raised.entry]
  end

  # What a failed call raises is its own failure, also when another thread's
  # call on the object came in between.
  def test_a_failure_raises_as_its_own_whatever_another_thread_did_meanwhile
    Parvox.create(path("a.zip")) { |zip| zip.add_data("a", "a.txt") }
    Parvox.open(path("a.zip")) do |zip|
      trace = TracePoint.new(:c_return) { |tp| Thread.new { zip.read("a.txt") }.join if tp.method_id == :read && tp.return_value.nil? }
      raised = assert_raises(Parvox::EntryNotFoundError) { trace.enable { zip.read("nope") } }
      assert_equal "no entry named 'nope'", raised.message
    end
  end

  # add_file in both faces: an argument of the wrong type raises TypeError, a
  # source holding NUL is refused as a name, and the raising face refuses a
  # positional folder that is none; recursive: is on for any true value.
  def test_add_file_arguments_in_both_faces
    make_tree(path("d"), "sub/s.txt" => "s")
    faces = [Parvox.new(path("c.zip")), Parvox.create(path("r.zip"))]
    nul = path("d") + "\0x"
    { [nul] => [false, Parvox::InvalidNameError], [nul, "n", true, true] => [false, Parvox::InvalidNameError],
      [42, "n", true, true] => [TypeError] * 2, [path("d/sub/s.txt"), "n", true, true] => [true, Parvox::ReadError],
      [path("d"), "n", true, true, 5] => [ArgumentError] * 2 }.each do |args, (answer, error)|
      assert_equal answer, answer.is_a?(Class) ? assert_raises(answer) { faces[0].add_file(*args) }.class : faces[0].add_file(*args)
      assert_raises(error) { faces[1].add_file(*args) }
    end
    assert faces[1].add_file(path("d"), "all", recursive: 1)
    faces.each(&:close)
    assert_includes Parvox.open(path("r.zip")) { |zip| zip.map(&:name) }, "all/sub/s.txt"
  end
end
