require_relative "helper"

# Parvox.update: entries added, replaced, deleted and renamed in place; what
# stays is copied as it stands, and the path never holds half an archive.
class UpdateTest < ParvoxTest
  FILES = { "a.txt" => "alpha " * 50, "b.txt" => "bravo", "dir/c.txt" => "charlie " * 80, "d.txt" => "delta " * 30 }.freeze
  STUB = "#!/bin/sh\necho self-extractor\nexit 0\n".b * 4

  # The local header and data of each entry, by stored name; offsets count
  # from the directory's place, which a stub before the archive shifts.
  def raw_entries(archive)
    bytes = File.binread(archive)
    eocd = bytes.rindex("PK\x05\x06".b)
    count, size, offset = bytes.unpack("@#{eocd + 10}vVV")
    shift = eocd - size - offset
    at = eocd - size
    Array.new(count).to_h do
      compressed, name_length, extra_length, comment_length = bytes.unpack("@#{at + 20}V@#{at + 28}vvv")
      name = bytes[at + 46, name_length]
      local = bytes.unpack1("@#{at + 42}V") + shift
      local_name, local_extra = bytes.unpack("@#{local + 26}vv")
      at += 46 + name_length + extra_length + comment_length
      header = bytes[local, 30 + local_name + local_extra]
      [name, { header: header, data: bytes[local + header.bytesize, compressed] }]
    end
  end

  def sources
    make_tree(path("src"), FILES)
    Dir.chdir(path("src")) do
      system("zip", "-qr", path("plain.zip"), *FILES.keys, exception: true)
      File.binwrite(path("stub.zip"), STUB + File.binread(path("plain.zip")))
      Open3.capture2("zip", "-qz", path("stub.zip"), stdin_data: "the old comment\n")
      system("7z", "a", "-tzip", "-mem=AES256", "-pPW", path("aes.zip"), *FILES.keys, out: File::NULL, exception: true)
    end
    Parvox.create(path("parvox.zip")) { |zip| FILES.each { |name, data| zip.add_data(data, name) } }
    { "zip with a stub and a comment" => path("stub.zip"), "7z AES" => path("aes.zip"), "Parvox" => path("parvox.zip") }
  end

  # Every change at once on each peer's archive; the AES archive is changed
  # without its password. Peers read the result; the untouched entry is
  # byte for byte the same, the renamed one keeps its data; the stub stays.
  def test_changes_copy_what_stays_for_every_peer
    linux_only "peers"
    sources.each do |what, archive|
      before = raw_entries(archive)
      answer = Parvox.update(archive) do |zip|
        assert_equal FILES.keys.sort, zip.entries.map(&:name).sort, what
        zip.add_data("new", "new.txt")
        zip.add_data("replaced", "a.txt")
        zip.delete("b.txt")
        zip.rename("dir/c.txt", "moved/ç.txt")
        zip.comment = "the new comment"
        :value
      end
      assert_equal :value, answer, what
      after = raw_entries(archive)
      assert_equal ["a.txt", "d.txt", "moved/ç.txt", "new.txt"], after.keys.map { |n| n.dup.force_encoding("UTF-8") }.sort, what
      assert_equal before["d.txt"], after["d.txt"], what
      assert_equal before["dir/c.txt"][:data], after["moved/ç.txt".b][:data], what
      assert File.binread(archive).start_with?(STUB), what if archive.end_with?("stub.zip")
      aes = archive.end_with?("aes.zip")
      assert valid_archive?(archive, aes ? "PW" : ""), what
      py = "import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); assert z.comment==b'the new comment'; " \
           "print(z.testzip() if #{aes ? 'False' : 'True'} else sorted(z.namelist()))"
      out, status = Open3.capture2e("python3", "-c", py, archive)
      assert status.success?, "#{what}: #{out}"
      Parvox.open(archive, aes ? "PW" : nil) do |zip|
        assert_equal [FILES["dir/c.txt"], "replaced", FILES["d.txt"]], [zip.read("moved/ç.txt"), zip.read("a.txt"), zip.read("d.txt")], what
      end
    end
  end

  # However the update fails, the archive is as it was and nothing is left
  # beside it.
  def test_failures_leave_the_original_whole
    archive = path("a.zip")
    Parvox.create(archive) { |zip| zip.add_data(Random.new(1).bytes(1 << 20), "noise.bin", level: 0) }
    cases = {
      "a raise in the block" => [RuntimeError, -> { Parvox.update(archive) { |z| z.add_data("x", "x"); raise "no" } }],
      "a break" => [nil, -> { [1].each { Parvox.update(archive) { |z| z.delete("noise.bin"); break } } }],
      "a rename onto an entry" => [Parvox::InvalidNameError,
                                   -> { Parvox.update(archive) { |z| z.add_data("x", "x"); z.rename("x", "noise.bin") } }],
      "a missing entry" => [Parvox::EntryNotFoundError, -> { Parvox.update(archive) { |z| z.delete("none") } }],
      "a name holding NUL" => [Parvox::EntryNotFoundError, -> { Parvox.update(archive) { |z| z.delete("noise.bin\0") } }],
      "an IO" => [ArgumentError, -> { File.open(archive, "rb") { |io| Parvox.update(io) {} } }],
      "no block" => [ArgumentError, -> { Parvox.update(archive) }],
    }
    before = File.binread(archive)
    cases.each do |what, (error, change)|
      error ? assert_raises(error, what) { change.call } : change.call
      assert_equal before, File.binread(archive), what
      assert_equal ["a.zip"], Dir.children(@dir), what
    end
    full_disk(before)
  end

  # An archive put in the path's place while the block runs (by an update
  # nested in it, or another writer), holding as many entries: the update
  # refuses rather than take the new one's entries for the old ones.
  def test_an_archive_replaced_meanwhile_is_not_changed
    archive = path("a.zip")
    replacements = {
      "a nested update" => -> { Parvox.update(archive) { |z| z.add_data("new", "e0") } },
      "another writer" => -> { Parvox.create(archive) { |z| %w[x y z].each { |n| z.add_data(n, n) } } },
    }
    replacements.each do |what, replace|
      Parvox.create(archive) { |zip| 3.times { |i| zip.add_data("data #{i}", "e#{i}") } }
      replaced = before = File.binread(archive)
      assert_raises(Parvox::Error, what) do
        Parvox.update(archive) { |z| replace.call; replaced = File.binread(archive); z.delete("e0") }
      end
      # Windows replaces no file open elsewhere: there the nested update is refused.
      refute_equal before, replaced, what unless WINDOWS && what == "a nested update"
      assert_equal replaced, File.binread(archive), what
      assert_equal ["a.zip"], Dir.children(@dir), what
    end
  end

  # What the caller may not write stays as it was, with nothing beside it: a
  # read-only archive in a writable folder, an archive in a read-only folder
  # (run as nobody: root writes anywhere).
  def test_what_may_not_be_written_is_refused
    linux_only "permission bits"
    runner = unprivileged_runner
    Parvox.create(path("a.zip")) { |zip| zip.add_data("data", "e0") }
    lib = $LOAD_PATH.find { |dir| File.exist?(File.join(dir, "parvox.so")) }
    script = 'require "parvox"; begin; Parvox.update(ARGV[0]) { |z| z.delete("e0") }; rescue Parvox::WriteError; ' \
             'print "refused"; end'
    { "a read-only archive" => [0o777, 0o444], "a read-only folder" => [0o555, 0o666] }.each do |what, (folder, file)|
      File.chmod(file, path("a.zip"))
      File.chmod(folder, @dir)
      before = File.binread(path("a.zip"))
      out, err, = Open3.capture3(*runner, RbConfig.ruby, "-I", lib, "-I", File.expand_path("../lib", __dir__),
                                 "-e", script, path("a.zip"))
      File.chmod(0o755, @dir)
      assert_equal "refused", out, "#{what}: #{err}"
      assert_equal before, File.binread(path("a.zip")), what
      assert_equal ["a.zip"], Dir.children(@dir), what
    end
  end

  # On a tmpfs too small for the new archive: WriteError, the old one whole.
  def full_disk(bytes)
    linux_only "tmpfs"
    small = path("small")
    Dir.mkdir(small)
    skip "cannot mount a small tmpfs here" unless system("mount", "-t", "tmpfs", "-o", "size=1600k", "tmpfs", small, err: File::NULL)
    begin
      archive = File.join(small, "a.zip")
      File.binwrite(archive, bytes)
      assert_raises(Parvox::WriteError) { Parvox.update(archive) { |z| z.add_data("x", "x") } }
      assert_equal bytes, File.binread(archive)
      assert_equal ["a.zip"], Dir.children(small)
    ensure
      system("umount", small)
    end
  end

  # A process killed at any moment of an update leaves the old archive or
  # the new one, whole.
  def test_a_killed_update_leaves_one_whole_archive
    linux_only "kill -9 and peers"
    archive = path("big.zip")
    Parvox.create(archive, level: 0) { |zip| 8.times { |i| zip.add_data(Random.new(i).bytes(8 << 20), "e#{i}") } }
    old_bytes = File.binread(archive)
    old_names = entry_names(archive)
    script = "Parvox.update(ARGV[0]) { |z| z.delete('e0'); z.add_data('x' * (8 << 20), 'added') }; sleep"
    [0.2, 0.5, 0.8, 1.5].each do |delay|
      File.binwrite(archive, old_bytes)
      child = Process.spawn(RbConfig.ruby, *$LOAD_PATH.map { |d| "-I#{d}" }, "-rparvox", "-e", script, archive)
      sleep delay
      Process.kill("KILL", child)
      Process.wait(child)
      assert valid_archive?(archive), "killed after #{delay} s"
      names = entry_names(archive)
      assert [old_names, old_names - ["e0"] + ["added"]].include?(names), "after #{delay} s: #{names}"
    end
  end
end
