require_relative "helper"

class TestLifecycle < ParvoxTest
  EMPTY_ARCHIVE = "PK\x05\x06".b + ("\0" * 18).b

  # The nine take their positional arguments as they always have (new, load
  # and add_file take keywords and fewer arguments besides).
  def test_class_surface
    assert_equal Object, Parvox.superclass
    takes = lambda do |method, count|
      kinds = method.parameters.map(&:first)
      kinds.count(:req) <= count && (kinds.include?(:rest) || count <= kinds.count(:req) + kinds.count(:opt))
    end
    { new: 2, load: 2, get_version: 0, get_path: 0 }.each do |name, count|
      assert takes.(Parvox.method(name), count), "Parvox.#{name}"
    end
    { initialize: 2, add_file: 4, unzip_file: 2, unzip_all: 1, close: 0 }.each do |name, count|
      assert takes.(Parvox.instance_method(name), count), "Parvox##{name}"
    end
    zip = Parvox.new(path("t.zip"), "")
    assert_raises(ArgumentError) { zip.add_file(path("t.zip"), "t", false) }
    zip.close
    assert_equal 1, Parvox.get_version
  end

  def test_get_path_names_the_loaded_library
    lib = Parvox.get_path
    assert_equal Encoding::UTF_8, lib.encoding
    assert_match(WINDOWS ? %r{\A[A-Za-z]:/} : %r{\A/}, lib)
    assert_equal "parvox.so", File.basename(lib)
    assert_includes $LOADED_FEATURES.map { |f| File.realpath(f) rescue f }, lib
  end

  def test_empty_archive_is_the_end_record_alone_and_peers_accept_it
    zip = Parvox.new(path("e.zip"), "secret")
    zip.close
    assert_equal EMPTY_ARCHIVE, File.binread(path("e.zip"))
    assert_instance_of Parvox, Parvox.load(path("e.zip"), "")
    File.binwrite(path("c.zip"), EMPTY_ARCHIVE[0, 20] + "\x03\x00abc".b)
    assert_instance_of Parvox, Parvox.load(path("c.zip"), ""), "an empty archive with a comment"
    linux_only "the peers are Linux programs"
    [%w[7z l], %w[bsdtar -tf]].each do |tool|
      _out, status = Open3.capture2e(*tool, path("e.zip"))
      assert status.success?, "#{tool.first} refused the empty archive"
    end
    # unzip answers 1, a warning, for an archive without entries.
    out, = Open3.capture2e("unzip", "-l", path("e.zip"))
    assert_match(/zipfile is empty/, out)
  end

  def test_new_replaces_an_existing_file_and_fails_without_a_folder
    File.binwrite(path("old.zip"), "x" * 1000)
    Parvox.new(path("old.zip"), "").close
    assert_equal 22, File.size(path("old.zip"))
    assert_nil Parvox.new(path("missing", "a.zip"), "")
    refute File.exist?(path("missing"))
  end

  def test_load_refuses_what_is_not_a_zip_archive
    File.binwrite(path("text.zip"), "this is not a zip archive\n" * 50)
    File.binwrite(path("zero.zip"), "")
    %w[text.zip zero.zip nothing.zip].each do |name|
      assert_nil Parvox.load(path(name), ""), name
    end
  end

  def test_subclass_gets_its_own_initialize_with_the_arguments_as_received
    klass = Class.new(Parvox) do
      attr_reader :seen
      def initialize(archive, password)
        @seen = [archive, password]
      end
    end
    archive = path("s.zip").encode("UTF-8")
    zip = klass.new(archive, "pw")
    assert_instance_of klass, zip
    assert_equal [archive, "pw"], zip.seen
    assert_same archive, zip.seen.first
    zip.close

    failing = Class.new(Parvox) { def initialize(*) raise ArgumentError, "no" end }
    assert_raises(ArgumentError) { failing.load(archive, "") }
  end

  def test_close_is_idempotent_and_ends_every_operation
    File.write(path("a.txt"), "a")
    zip = Parvox.new(path("c.zip"), "")
    assert_nil zip.close
    assert_nil zip.close
    refute zip.add_file(path("a.txt"), "a.txt", false, false)
    reader = Parvox.load(path("c.zip"), "")
    reader.close
    refute reader.unzip_all(path("out"))
    refute reader.unzip_file("a.txt", path("a2.txt"))
  end

  def test_instances_come_only_from_new_and_load
    assert_raises(TypeError) { Parvox.allocate }
    assert_raises(TypeError) { Class.new(Parvox).allocate }
  end

  def test_non_strings_raise_type_error_before_anything_happens
    assert_raises(TypeError) { Parvox.new(:sym, "") }
    assert_raises(TypeError) { Parvox.new(path("n.zip"), 42) }
    refute File.exist?(path("n.zip"))
    assert_raises(TypeError) { Parvox.load(nil, "") }

    zip = Parvox.new(path("n.zip"), "")
    assert_raises(TypeError) { zip.add_file(1, "a", false, false) }
    assert_raises(TypeError) { zip.add_file(path, ["a"], true, true) }
    assert_raises(TypeError) { zip.unzip_file(nil, "x") }
    assert_raises(TypeError) { zip.unzip_all(Object.new) }
    zip.close
    assert_equal 22, File.size(path("n.zip"))
  end

  def test_archive_paths_holding_nul_are_refused_and_their_encoding_is_not_looked_at
    assert_nil Parvox.new("#{path('cut.zip')}\0ignored", "")
    refute File.exist?(path("cut.zip"))
    Parvox.new(path("cut.zip"), "").close
    assert_instance_of Parvox, Parvox.load(path("cut.zip").b, "".encode("UTF-16LE"))
  end

  def test_memsize_is_reported
    require "objspace"
    zip = Parvox.new(path("m.zip"), "password")
    assert_operator ObjectSpace.memsize_of(zip), :>, 0
    zip.close
  end

  def test_an_archive_dropped_without_close_is_finished
    File.write(path("a.txt"), "dropped but kept")
    script = <<~RUBY
      require "parvox"
      zip = Parvox.new(ARGV[0], "")
      exit 2 unless zip.add_file(ARGV[1], "a.txt", false, false)
      zip = nil
    RUBY
    ok = system(RbConfig.ruby, *$LOAD_PATH.map { |d| "-I#{d}" }, "-e", script, path("gc.zip"), path("a.txt"))
    assert ok, "the child process failed"
    reader = Parvox.load(path("gc.zip"), "")
    assert reader.unzip_file("a.txt", path("back.txt"))
    assert_equal "dropped but kept", File.read(path("back.txt"))
  end
end
