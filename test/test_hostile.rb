require "helper"

# Hostile and damaged archives: every answer is nil, false or TypeError as
# documented, and nothing is ever written outside the target folder.
class HostileTest < ParvoxTest
  def setup
    super
    # The target is work/out; its parent and a sibling must never change.
    make_tree(path("work"), "out_evil/keep.txt" => "keep", "outside/" => nil, "secret.txt" => "secret")
    @out = path("work", "out")
  end

  # An archive of `entries` (see ZipBytes.write), names exactly as given.
  def make_zip(entries, archive = path("h.zip"))
    ZipBytes.write(archive, entries)
  end

  # Everything beneath work/ except the target folder itself.
  def outside_target
    tree_of(path("work")).reject { |rel, _| rel == "out" || rel.start_with?("out/") }
  end

  # Runs the block, asserting it leaves everything outside the target alone.
  def assert_contained(what)
    before = outside_target
    yield
    assert_equal before, outside_target, "#{what}: wrote outside the target"
  end

  def unzip_all_answer(archive, password = "")
    zip = Parvox.load(archive, password)
    return nil unless zip
    zip.unzip_all(@out).tap { zip.close }
  end

  def test_zip_slip_names_are_refused
    ["../evil", "a/../../evil", path("work", "abs_evil"), "C:/evil", "C:evil",
     "..\\evil", "../out_evil/x", "..\\out_evil\\keep.txt"].each do |name|
      FileUtils.rm_rf(@out)
      archive = make_zip([{ name: "good.txt", data: "good" }, { name: name, data: "pwned" }])
      assert_contained(name) { assert_equal false, unzip_all_answer(archive), "#{name}: answer" }
      assert_equal [["good.txt", "good"]], tree_of(@out), "#{name}: only the good entry"
      assert_equal "keep", File.read(path("work", "out_evil", "keep.txt"))
    end
  end

  def test_link_entries_are_written_as_plain_files
    target = path("work", "outside")
    archive = make_zip([{ name: "link", data: target, link: true }, { name: "link/x", data: "pwned" }])
    assert_contained("link entry") { assert_equal false, unzip_all_answer(archive) }
    link = File.join(@out, "link")
    refute File.symlink?(link), "a link entry made a link"
    assert_equal target, File.read(link), "the link's text is the file's content"
    assert_empty Dir.children(target)

    zip = Parvox.load(archive, "")
    assert zip.unzip_file("link", path("one_link")), "unzip_file of a link entry"
    refute File.symlink?(path("one_link"))
    assert_equal target, File.read(path("one_link"))
  end

  def test_existing_links_beneath_the_target_are_not_followed
    linux_only "Unix links (test_windows tries junctions)"
    FileUtils.mkdir_p(File.join(@out, "real"))
    File.symlink(path("work", "outside"), File.join(@out, "dir_link"))
    File.symlink(path("work", "secret.txt"), File.join(@out, "file_link"))
    { "dir_link/x" => "through a folder link", "file_link" => "through a file link",
      "dir_link/new/y" => "through a folder link, below" }.each do |name, what|
      archive = make_zip([{ name: "real/ok.txt", data: "ok" }, { name: name, data: "pwned" }])
      assert_contained(what) { assert_equal false, unzip_all_answer(archive), "#{what}: answer" }
      assert_equal "ok", File.read(File.join(@out, "real", "ok.txt")), what
    end
    assert_equal "secret", File.read(path("work", "secret.txt"))
    assert_empty Dir.children(path("work", "outside"))
  end

  def test_damaged_data_is_reported
    data = "line of text that deflates well\n" * 2000
    [true, false].each do |stored|
      archive = make_zip([{ name: "d.txt", data: data, stored: stored }], path("crc#{stored}.zip"))
      ZipBytes.damage_first_entry(archive)
      zip = Parvox.load(archive, "")
      refute_nil zip
      refute zip.unzip_file("d.txt", path("d#{stored}.txt")), "stored=#{stored}: unzip_file on bad data"
      FileUtils.rm_rf(@out)
      refute zip.unzip_all(@out), "stored=#{stored}: unzip_all on bad data"
      zip.close
    end
  end

  def test_a_broken_later_entry_header_is_a_failure
    archive = make_zip([{ name: "first.txt", data: "first" }, { name: "second.txt", data: "second" }])
    bytes = File.binread(archive)
    bytes[bytes.index("PK\x03\x04".b, 4), 4] = "XXXX"
    File.binwrite(archive, bytes)
    refute_equal true, unzip_all_answer(archive), "a damaged archive answered true"
  end

  # Central directories that contradict themselves or the file: each row is
  # refused with its reason, by load when the end records already say so,
  # else by unzip_all, unzip_file, read and entries alike; nothing is written.
  def test_lying_central_directories_are_refused
    entries = [{ name: "a.txt", data: "alpha" }, { name: "b.txt", data: "beta" }]
    end_record = ->(bytes) { bytes.rindex("PK\x05\x06".b) }
    first_record = ->(bytes) { bytes.index("PK\x01\x02".b) }
    rows = {
      "a local header offset past the end" => [->(b) { b[first_record.(b) + 42, 4] = [b.size].pack("V") },
                                                "its central directory record 1 places its entry outside the file"],
      "a count too small" => [->(b) { b[end_record.(b) + 8, 4] = [1, 1].pack("vv") },
                              "its central directory holds 2 entries where its end record declares 1"],
      "a count too large" => [->(b) { b[end_record.(b) + 8, 4] = [3, 3].pack("vv") },
                              "its end record declares more entries than its central directory can hold", :load],
      "a directory past the end" => [->(b) { b[end_record.(b) + 16, 4] = [b.size].pack("V") },
                                     "its end record places the central directory outside the file", :load],
      "a ZIP64 locator leading nowhere" => [->(b) { b.insert(end_record.(b), ["PK\x06\x07", 0, 0, 1].pack("a4VQ<V")) },
                                            "its ZIP64 locator leads to no ZIP64 end record", :load],
    }
    rows.each do |what, (damage, reason, at_load)|
      archive = make_zip(entries)
      bytes = File.binread(archive)
      damage.call(bytes)
      File.binwrite(archive, bytes)
      expected = "'#{archive}' cannot be read: #{reason}"
      zip = Parvox.load(archive, "")
      if at_load
        assert_nil zip, what
        assert_equal expected, Parvox.last_error, what
        next
      end
      assert_contained(what) do
        refute zip.unzip_all(@out), what
        assert_equal expected, zip.last_error, what
        refute zip.unzip_file("a.txt", path("a.txt")), what
        assert_nil zip.read("b.txt"), what
        assert_equal expected, zip.last_error, what
        assert_nil zip.entries, what
      end
      refute File.exist?(@out) && !Dir.empty?(@out), "#{what}: wrote into the target"
      refute File.exist?(path("a.txt")), what
    end
  end

  # The local header must repeat its entry's name, as zipfile requires.
  def test_a_local_header_naming_another_entry_is_refused
    archive = make_zip([{ name: "a.txt", data: "alpha" }, { name: "b.txt", data: "beta" }])
    bytes = File.binread(archive)
    bytes[30, 5] = "b.txt"
    File.binwrite(archive, bytes)
    zip = Parvox.load(archive, "")
    assert_nil zip.read("a.txt")
    assert_equal "'a.txt' cannot be read: its local header names another entry", zip.last_error
    refute zip.unzip_file("a.txt", path("a.txt"))
    refute File.exist?(path("a.txt"))
    assert_contained("unzip_all") { refute zip.unzip_all(@out) }
    refute File.exist?(File.join(@out, "a.txt"))
    assert_equal "beta", zip.read("b.txt")
  end

  def test_truncated_archives_fail
    src = make_tree(path("src"), "a.bin" => noise(300_000), "b.txt" => "b" * 50_000)
    whole = File.binread(zip_folder(src, "src"))
    [whole.size / 2, whole.size - 30, 100].each do |cut|
      File.binwrite(path("cut.zip"), whole[0, cut])
      zip = Parvox.load(path("cut.zip"), "")
      next unless zip # refused at load: the expected answer

      FileUtils.rm_rf(@out)
      refute zip.unzip_all(@out), "cut at #{cut}: unzip_all"
      refute zip.unzip_file("src/a.bin", path("a.bin")), "cut at #{cut}: unzip_file"
      zip.close
    end
  end

  # Declared sizes of 0xFFFFFFF0: in the central directory only, or in both
  # headers of a stored entry (whose data then seems to run past the end).
  def test_huge_declared_sizes_never_make_a_huge_file
    data = "small entry\n" * 100
    { "central directory" => [false, [24]], "stored, every size field" => [true, [20, 24, -12, -8]] }
      .each do |what, (stored, offsets)|
      archive = make_zip([{ name: "s.txt", data: data, stored: stored }])
      bytes = File.binread(archive)
      central = bytes.index("PK\x01\x02".b)
      offsets.each { |at| bytes[at.negative? ? 30 + at : central + at, 4] = [0xFFFFFFF0].pack("V") }
      File.binwrite(archive, bytes)
      FileUtils.rm_rf([@out, path("s.txt")])
      zip = Parvox.load(archive, "")
      next unless zip

      [[zip.unzip_file("s.txt", path("s.txt")), path("s.txt")],
       [Parvox.load(archive, "").unzip_all(@out), File.join(@out, "s.txt")]].each do |answer, file|
        assert_equal data, File.read(file), "#{what}: true with wrong bytes" if answer
        refute File.exist?(file) && File.size(file) > data.size + bytes.size, "#{what}: a huge file"
      end
    end
  end

  def test_files_that_are_not_archives_do_not_load
    {
      "empty" => "", "text" => "just some text, not an archive\n" * 10,
      "end record then garbage" => "PK\x05\x06".b + noise(200), "local header then garbage" => "PK\x03\x04".b + noise(200)
    }.each do |what, content|
      File.binwrite(path("bad"), content)
      assert_nil Parvox.load(path("bad"), ""), "#{what}: load"
    end
    assert_nil Parvox.load(path("missing.zip"), "")
    assert_nil Parvox.load(path("work"), ""), "a folder"
  end

  def test_passwords_missing_or_wrong
    src = make_tree(path("src"), "secret.txt" => "top secret " * 100, "empty.txt" => "", "sub/more.txt" => "more")
    archive = zip_folder(src, "src", password: "right")
    ["wrong", ""].each do |password|
      zip = Parvox.load(archive, password)
      refute zip.unzip_file("src/secret.txt", path("t.txt")), "password #{password.inspect}: unzip_file"
      refute File.exist?(path("t.txt")), "password #{password.inspect}: a file was created"
      FileUtils.rm_rf(@out)
      refute zip.unzip_all(@out), "password #{password.inspect}: unzip_all"
      refute File.exist?(File.join(@out, "src", "secret.txt"))
      refute File.exist?(File.join(@out, "src", "sub", "more.txt"))
      zip.close
    end
  end

  def test_stored_aes_entry_without_password
    linux_only "7z is a Linux program"
    archive = stored_aes_archive
    zip = Parvox.load(archive, "")
    refute zip.unzip_file("plain.txt", path("t.txt")), "ciphertext answered true"
    refute File.exist?(path("t.txt"))
    refute zip.unzip_all(@out)
    refute File.exist?(File.join(@out, "plain.txt"))
    zip = Parvox.load(archive, "PW")
    assert zip.unzip_file("plain.txt", path("t.txt")), "the right password"
    assert_equal File.read(path("plain.txt")), File.read(path("t.txt"))
  end

  def test_names_end_at_a_nul
    File.write(path("f.txt"), "data")
    zip = Parvox.new(path("n.zip"), "")
    assert zip.add_file(path("f.txt"), "a\0b", false, false)
    zip.close
    assert_equal ["a"], entry_names(path("n.zip"))
    zip = Parvox.load(path("n.zip") + "\0ignored", "")
    assert zip.unzip_file("a\0whatever", path("x") + "\0y"), "unzip_file with NULs"
    assert_equal "data", File.read(path("x"))
    assert zip.unzip_all(path("all") + "\0y")
    assert_equal [["a", "data"]], tree_of(path("all"))
  end

  def test_non_string_arguments_raise
    File.write(path("f.txt"), "data")
    zip = Parvox.new(path("a.zip"), "")
    [
      -> { Parvox.new(1, "") }, -> { Parvox.new(path("b.zip"), nil) },
      -> { Parvox.load(:sym, "") }, -> { Parvox.load(path("a.zip"), 3) },
      -> { zip.add_file(nil, "n", false, false) }, -> { zip.add_file(path("f.txt"), 1, false, false) },
      -> { zip.unzip_file(1, "t") }, -> { zip.unzip_file("n", nil) }, -> { zip.unzip_all(2.5) },
      -> { Parvox.allocate }
    ].each_with_index { |call, i| assert_raises(TypeError, "call #{i}") { call.call } }
    refute File.exist?(path("b.zip")), "a failed new still created its file"
  end

  def test_closed_objects_answer_false
    File.write(path("f.txt"), "data")
    writer = Parvox.new(path("c.zip"), "")
    assert writer.add_file(path("f.txt"), "f.txt", false, false)
    assert_nil writer.close
    refute writer.add_file(path("f.txt"), "g.txt", false, false)
    reader = Parvox.load(path("c.zip"), "")
    assert_nil reader.close
    assert_nil reader.close
    refute reader.unzip_file("f.txt", path("t.txt"))
    refute reader.unzip_all(@out)
    refute File.exist?(path("t.txt")) || File.exist?(@out), "a closed object wrote"
  end

  def test_unwritable_targets
    archive = make_zip([{ name: "f.txt", data: "data" }])
    zip = Parvox.load(archive, "")
    file = path("work", "secret.txt")
    refute zip.unzip_all(file), "target folder is a file"
    refute zip.unzip_file("f.txt", File.join(file, "f.txt")), "target beneath a file"
    refute zip.unzip_all(File.join(file, "sub")), "target folder beneath a file"
    assert_equal "secret", File.read(file)
    linux_only "Unix folder permissions"
    skip "root ignores folder permissions" if Process.euid.zero?
    FileUtils.mkdir_p(@out)
    File.chmod(0o555, @out)
    refute zip.unzip_all(@out), "read-only target folder"
    assert_empty Dir.children(@out)
  end
end
