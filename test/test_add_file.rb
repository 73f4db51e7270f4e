require_relative "helper"

class TestAddFile < ParvoxTest
  # [name, compression method, flag bits, size] of every entry, in stored order.
  def entries(archive)
    ZipBytes.entries(archive).zip(ZipBytes.names(archive)).map do |e, name|
      [name, e[:method], e[:flags], e[:size]]
    end
  end

  def unzip_test(archive, password = nil)
    linux_only "7z is a Linux program"
    args = ["7z", "t", archive]
    args << "-p#{password}" if password
    out, status = Open3.capture2e(*args)
    assert status.success?, out
  end

  def test_a_file_becomes_one_deflated_entry_with_its_exact_name
    File.binwrite(path("a.txt"), "hello " * 1000)
    zip = Parvox.new(path("t.zip"), "")
    assert zip.add_file(path("a.txt"), "dir\\odd name.txt", false, false)
    zip.close
    # Windows separates with '\' on disk and so stores it as '/' in names.
    stored = WINDOWS ? "dir/odd name.txt" : "dir\\odd name.txt"
    assert_equal [[stored, 8, 0, 6000]], entries(path("t.zip")).map { |e| e.tap { |x| x[2] &= 1 } }
  end

  def test_folder_order_naming_and_svn_exclusion
    # Only the exact name is excluded; on Windows, whose names ignore case,
    # .SVN would be the .svn folder itself.
    kept = WINDOWS ? {} : { ".SVN/kept" => "K" }
    make_tree(path("d"), { "a" => "A", "b" => "B", "s/x" => "X", "s/.svn/junk" => "J",
                           ".svn/entries" => "E", "s/t/" => nil }.merge(kept))
    zip = Parvox.new(path("t.zip"), "")
    assert zip.add_file(path("d"), "d", true, true)
    assert zip.add_file(path("d"), "flat/", true, false)
    assert zip.add_file(path("d/.svn"), "svn", true, false)
    zip.close
    names = entry_names(path("t.zip"))
    deep = names.take_while { |n| !n.start_with?("flat/") }
    # The folder itself, then its files, then each sub-folder's subtree.
    assert_equal "d/", deep.first
    assert_equal %w[d/a d/b], deep[1, 2].sort
    assert_equal (WINDOWS ? [] : %w[d/.SVN/ d/.SVN/kept]) + %w[d/s/ d/s/t/ d/s/x], deep.drop(3).sort
    assert_operator deep.index("d/s/x"), :<, deep.index("d/s/t/")
    assert_equal %w[flat/ flat/a flat/b], names.grep(/\Aflat/).sort
    assert_equal %w[svn/ svn/entries], names.grep(/\Asvn/)
    refute names.any? { |n| n.include?("//") }
  end

  def test_password_encrypts_file_entries_but_never_folders
    make_tree(path("d"), "a" => "secret data" * 100, "sub/b" => "more", "sub/e/" => nil)
    zip_folder(path("d"), "d", password: "pw")
    entries(path("t.zip")).each do |name, method, flags, _size|
      if name.end_with?("/")
        assert_equal 0, flags & 1, "#{name} is encrypted"
      else
        assert_equal [99, 1], [method, flags & 1], "#{name} is not AES-encrypted"
      end
    end
    unzip_test(path("t.zip"), "pw")
  end

  def test_switches_are_on_only_for_true
    make_tree(path("d"), "a" => "A")
    zip = Parvox.new(path("t.zip"), "")
    refute zip.add_file(path("d"), "d", 1, "yes"), "a folder added as a single file"
    assert zip.add_file(path("d/a"), "a", 1, "yes")
    zip.close
    assert_equal ["a"], entry_names(path("t.zip"))
  end

  def test_answers_for_sources_that_cannot_be_added
    zip = Parvox.new(path("t.zip"), "")
    refute zip.add_file(path("missing"), "m", false, false)
    assert zip.add_file(path("missing"), "gone", true, true), "the folder's own entry decides"
    FileUtils.mkdir_p(path("d"))
    linux_only "FIFOs and Unix links"
    File.mkfifo(path("d", "fifo"))
    File.write(path("d", "ok"), "ok")
    File.symlink(path("nowhere"), path("d", "broken"))
    refute zip.add_file(path("d", "fifo"), "fifo", false, false)
    assert zip.add_file(path("d"), "d", true, true)
    zip.close
    assert_equal %w[gone/ d/ d/ok], entry_names(path("t.zip"))
  end

  # A full disk: the call whose entry did not fit answers false naming it,
  # every later add false saying it failed earlier, and close still finishes the archive with the
  # entries that were whole; /dev/full, which cannot even be cut back, makes
  # close answer false too. A 2 MiB tmpfs (needs root) is the real case.
  def test_a_full_disk_fails_the_call_that_met_it_and_keeps_every_whole_entry
    full = WINDOWS ? "Z:/dev/full" : "/dev/full"
    skip "no #{full}" unless File.exist?(full)
    zip = Parvox.new(full, "") or skip "#{full} does not open for writing here: #{Parvox.last_error}"
    full_reason = /\A'a' could not be written to '#{full}': \S.*\z/
    refute zip.add_data("x" * 1000, "a")
    assert_match full_reason, zip.last_error
    File.binwrite(path("noise"), noise(3 << 20))
    refute zip.add_file(path("noise"), "noise", false, false), "nothing more goes in"
    assert_match(/\A'#{full}' failed earlier: \S/, zip.last_error)
    assert_equal false, zip.close
    assert_match full_reason, zip.last_error

    linux_only "mounts a tmpfs"
    skip "mounting a tmpfs needs root" unless Process.euid.zero?
    disk = path("disk")
    FileUtils.mkdir_p(disk)
    _, status = Open3.capture2e("timeout", "20", "mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", disk)
    skip "no tmpfs could be mounted here" unless status.success?
    begin
      File.binwrite(File.join(disk, "filler"), noise(1_250_000, 9))
      archive = File.join(disk, "t.zip")
      zip = Parvox.new(archive, "")
      answers = %w[a b c d].map do |name|
        File.binwrite(path(name), noise(300_000, name.ord))
        [zip.add_file(path(name), name, false, false), zip.last_error]
      end
      reason = "'c' could not be written to '#{archive}': No space left on device"
      assert_equal [[true, nil], [true, nil], [false, reason],
                    [false, "'#{archive}' failed earlier: No space left on device"]], answers
      assert_nil zip.close, "the archive of the entries that fit is finished"
      out, status = Open3.capture2e("python3", "-c", <<~PY, archive)
        import sys, zipfile
        z = zipfile.ZipFile(sys.argv[1])
        print(z.namelist(), z.testzip())
      PY
      assert status.success?, out
      assert_equal "['a', 'b'] None\n", out
      reader = Parvox.load(archive, "")
      assert_equal File.binread(path("b")), reader.read("b")
      reader.close
    ensure
      system("umount", disk) || system("umount", "-l", disk)
    end
  end

  def test_a_loaded_archive_is_never_changed
    File.write(path("a.txt"), "a")
    zip_folder(make_tree(path("d"), "x" => "X"), "d")
    before = File.binread(path("t.zip"))
    reader = Parvox.load(path("t.zip"), "")
    refute reader.add_file(path("a.txt"), "a.txt", false, false)
    refute reader.add_file(path("d"), "d", true, true)
    reader.close
    assert_equal before, File.binread(path("t.zip"))
  end

  def test_folder_links_back_up_the_walk_are_skipped
    linux_only "Unix links (test_windows tries junctions)"
    make_tree(path("d"), "a" => "A", "sub/b" => "B")
    File.symlink(path("d"), path("d", "sub", "loop"))
    File.symlink(path("d", "a"), path("d", "sub", "alias"))
    zip_folder(path("d"), "d")
    assert_equal %w[d/ d/a d/sub/ d/sub/alias d/sub/b], entry_names(path("t.zip")).sort
  end

  # The archive is written inside the folder being added, reached once
  # directly and once more through a folder link and a hard link; it never
  # stores itself, while a finished archive beside it is stored as any file.
  def test_the_archive_being_written_never_stores_itself
    files = { "a" => noise(300_000, 1), "sub/b" => noise(200_000, 2), "old.zip" => "PK\x05\x06" + "\0" * 18 }
    make_tree(path("d"), files)
    File.symlink(path("d"), path("d", "sub", "up"))
    archive = path("d", "backup.zip")
    zip = Parvox.new(archive, "")
    File.link(archive, path("d", "sub", "hard.zip"))
    assert zip.add_file(path("d"), "d", true, true)
    zip.close
    names = entry_names(archive)
    assert_equal %w[d/ d/a d/old.zip d/sub/ d/sub/b], names.sort
    unzip_test(archive)
    assert Parvox.load(archive, "").unzip_all(path("out"))
    files.each { |name, content| assert_equal content, File.binread(path("out", "d", name)), name }
  end

  # Written into a File given to new, the archive is known by its file just
  # the same: the walk passes over it (directly, through a folder link, as a
  # hard link), and adding it alone fails with the path form's reason.
  def test_an_archive_written_into_a_file_never_stores_itself
    make_tree(path("d"), "a" => "A", "sub/b" => "B")
    archive = path("d", "out.zip")
    File.open(archive, "wb") do |io|
      zip = Parvox.new(io, "")
      File.symlink(path("d"), path("d", "sub", "up"))
      File.link(archive, path("d", "sub", "hard.zip"))
      assert zip.add_file(path("d"), "d", true, true)
      [archive, path("d", "sub", "hard.zip")].each do |itself|
        refute zip.add_file(itself, "itself", false, false)
        assert_equal "'#{itself}' is the archive being written; not added", zip.last_error
      end
      assert_nil zip.close
    end
    assert_equal %w[d/ d/a d/sub/ d/sub/b], entry_names(archive).sort
    unzip_test(archive)
  end

  def test_adding_the_archive_itself_as_a_file_is_refused
    File.binwrite(path("a"), "some data")
    zip = Parvox.new(path("t.zip"), "")
    assert zip.add_file(path("a"), "a", false, false)
    refute zip.add_file(path("t.zip"), "t.zip", false, false)
    refute zip.add_file(path(".", "t.zip"), "again", false, false), "another spelling of the path"
    assert zip.add_file(path("a"), "b", false, false), "the archive stays usable"
    zip.close
    assert_equal %w[a b], entry_names(path("t.zip"))
    unzip_test(path("t.zip"))
  end

  # Files the kernel sizes as 0 (/proc) are read to their end: one that fits
  # a buffer, and one of more (/proc/kallsyms, where readable), stored in
  # chunks; a file that delivers less than its size is padded and reported.
  def test_files_whose_size_is_not_their_content_leave_a_valid_archive
    linux_only "files of /proc and /sys"
    made_up = { "version" => "/proc/version", "status" => "/proc/self/status" }
    symbols = "/proc/kallsyms"
    made_up["symbols"] = symbols if File.readable?(symbols) && File.read(symbols).bytesize > 4 << 20
    shrinks = Dir["/sys/kernel/mm/transparent_hugepage/*"].find { |f| File.file?(f) && File.readable?(f) }
    zip = Parvox.new(path("t.zip"), "pw")
    made_up.each { |name, file| assert zip.add_file(file, name, false, false), file }
    refute zip.add_file(shrinks, "shrinks", false, false), "a short file is reported" if shrinks
    zip.close
    sizes = entries(path("t.zip")).map { |name, _m, _f, size| [name, size] }.to_h
    assert_equal File.size(shrinks), sizes["shrinks"] if shrinks
    unzip_test(path("t.zip"), "pw")
    reader = Parvox.load(path("t.zip"), "pw")
    assert_equal File.binread("/proc/version"), reader.read("version")
    assert_match(/^Name:\s+ruby/, reader.read("status"))
    assert_equal File.binread(symbols), reader.read("symbols"), "read to its end" if made_up["symbols"]
  end

  def test_a_file_of_two_gib_and_more_is_stored_whole
    huge_files_test
    big = path("big.bin")
    size = 2 * 1024**3 + 5
    File.open(big, "wb") { |f| f.truncate(size); f.seek(size - 5); f.write("tail!") }
    zip = Parvox.new(path("t.zip"), "")
    assert zip.add_file(big, "big.bin", false, false)
    zip.close
    assert_equal size, entries(path("t.zip")).first[3]
    File.delete(big)
    reader = Parvox.load(path("t.zip"), "")
    assert reader.unzip_file("big.bin", big)
    assert_equal size, File.size(big)
    assert_equal "tail!", File.open(big, "rb") { |f| f.seek(size - 5); f.read }
  end
end
