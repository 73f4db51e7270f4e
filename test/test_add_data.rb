require_relative "helper"

# Entries from bytes in memory: the same entry add_file makes of a file with
# those bytes.
class TestAddData < ParvoxTest
  def test_data_becomes_the_entry_add_file_makes_of_the_same_bytes
    every_byte = (0..255).map(&:chr).join.b * 3
    entries = { "every byte.bin" => every_byte, "données/été.txt" => "é".encode("UTF-8"),
                "empty" => "", "big.bin" => noise(3 << 20) }  # big: added on a thread of its own
    make_tree(path("files"), entries)
    from_files = Parvox.new(path("files.zip"), "")
    from_data = Parvox.new(path("data.zip"), "")
    entries.each do |name, bytes|
      File.chmod(0o644, path("files", name))
      assert from_files.add_file(path("files", name), name, false, false)
      assert from_data.add_data(bytes.dup.force_encoding("UTF-16LE"), name, mtime: File.mtime(path("files", name))),
             "data in any encoding"
    end
    from_files.close
    from_data.close
    assert File.binread(path("files.zip")) == File.binread(path("data.zip")), "the same archive"
    assert tree_of(path("files")) == tree_of(unzip_all_of(path("data.zip"))), "the same bytes"
  end

  def test_data_with_a_password_opens_in_other_tools
    linux_only "checks with 7z"
    zip = Parvox.new(path("t.zip"), "pässword")
    assert zip.add_data("secret report\n" * 100, "report.txt")
    zip.close
    out, status = Open3.capture2e("7z", "x", "-ppässword", "-o#{path("out")}", path("t.zip"))
    assert status.success?, out
    assert_equal "secret report\n" * 100, File.read(path("out", "report.txt"))
  end

  # The entry's time is mtime: (a Time), else the time of the call.
  def test_the_entry_records_mtime_or_the_time_of_the_call
    zip = Parvox.new(path("t.zip"), "")
    assert zip.add_data("dated", "dated.txt", mtime: Time.new(1999, 12, 31, 23, 59, 58, "+05:30"))
    before = Time.now.to_i
    assert zip.add_data("now", "now.txt")
    assert zip.add_data(noise(2 << 20), "big now.bin")  # added on a thread of its own
    after = Time.now.to_i
    zip.close
    times = Parvox.load(path("t.zip"), "").entries.to_h { |e| [e.name, e.mtime.to_i] }
    assert_equal Time.utc(1999, 12, 31, 18, 29, 58).to_i, times["dated.txt"]
    [times["now.txt"], times["big now.bin"]].each { |time| assert_includes before..after, time }
  end

  def test_what_add_data_refuses
    zip = Parvox.new(path("t.zip"), "")
    assert_raises(TypeError) { zip.add_data(:symbol, "x") }
    assert_raises(TypeError) { zip.add_data("x", nil) }
    assert_raises(TypeError) { zip.add_data("x", "x", mtime: 0) }
    assert_raises(TypeError) { zip.add_data("x", "x", mtime: nil) }
    assert_raises(ArgumentError) { zip.add_data("x", "x", time: Time.now) }
    zip.close
    refute zip.add_data("x", "x")
    assert_equal "the archive is closed", zip.last_error
    reader = Parvox.load(path("t.zip"), "")
    refute reader.add_data("x", "x")
    assert_match(/only to an archive made by new/, reader.last_error)
  end

  # A name with no valid stored form is refused before anything of its entry
  # is written, by add_data, add_file and (as the prefix of every name) a
  # folder add; a name in any encoding is stored as its UTF-8. A password
  # that would be cut short or changed raises. Reasons are always UTF-8.
  def test_names_and_passwords_that_cannot_be_used_as_given_are_refused
    File.write(path("f.txt"), "file")
    make_tree(path("dir"), "inner.txt" => "inner")
    refused = {
      "" => "it is empty", "\0abc" => "it holds a NUL byte", "a" * 65_536 => "it is longer than 65,535 bytes",
      "/etc/evil" => "it is an absolute path", "C:evil" => "it is an absolute path",
      "\\\\server\\share" => "it is an absolute path", "../../evil" => "it has a '..' component",
      "a\\..\\b" => "it has a '..' component", "caf\xFF".b => "it is not valid UTF-8",
      "dir/" => "it ends in a separator, which makes it a folder's name",
      "." => "it ends in a '.' component, which names the folder that holds it",
      "a/." => "it ends in a '.' component, which names the folder that holds it",
      "a\\b\\." => "it ends in a '.' component, which names the folder that holds it",
    }
    accepted = { "ab".encode("UTF-16LE") => "ab", "日本.txt".encode("Shift_JIS") => "日本.txt",
                 "été".b => "été", "a" * 65_535 => "a" * 65_535, "./dot" => "./dot", "a/./b" => "a/./b",
                 "..." => "...", "a/.b" => "a/.b" }
    zip = Parvox.new(path("t.zip"), "")
    refused.each do |name, why|
      shown = (WINDOWS ? name.tr("\\", "/") : name).b.gsub("\0") { "\\0" }.force_encoding("UTF-8").scrub
      shown = "#{shown[0, 80]}..." if shown.size > 80
      reason = "'#{shown}' cannot be an entry name: #{why}"
      refute zip.add_data("data", name), name.inspect
      assert_equal reason, zip.last_error
      refute zip.add_file(path("f.txt"), name, false, false), name.inspect
      assert_equal reason, zip.last_error
      refute zip.add_file(path("dir"), name, true, true), "#{name.inspect} as a folder" unless name == "dir/" || name.empty?
    end
    refute zip.add_data("data", "\x82\xFF".dup.force_encoding("Shift_JIS"))
    assert_equal "the entry name cannot be converted from Shift_JIS to UTF-8", zip.last_error
    refute zip.add_file(path("caf\xFF.txt"), "x", false, false), "a missing file whose name is not UTF-8"
    assert zip.last_error.valid_encoding?, "last_error is valid UTF-8"
    accepted.each_key { |name| assert zip.add_data(name, name), name.inspect }
    assert_nil zip.close
    assert_equal accepted.values, entry_names(path("t.zip")), "nothing of a refused entry"

    ["\0", "\x01\0#{'x' * 30}", "pw".encode("UTF-16LE") + "\0".encode("UTF-16LE"),
     "\xFF".dup.force_encoding("Shift_JIS")].each do |password|
      assert_raises(ArgumentError, password.inspect) { Parvox.new(path("p.zip"), password) }
      assert_raises(ArgumentError, password.inspect) { Parvox.load(path("t.zip"), password) }
    end
    refute File.exist?(path("p.zip"))
    assert_nil Parvox.load(path("caf\xFF.zip"), "")
    assert Parvox.last_error.valid_encoding?, "Parvox.last_error is valid UTF-8"
  end

  def unzip_all_of(archive)
    out = path("out-#{File.basename(archive)}")
    assert Parvox.load(archive, "").unzip_all(out)
    out
  end
end
