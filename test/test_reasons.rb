require "helper"
require "rbconfig"

# #last_error and Parvox.last_error: one reason for each kind of failure,
# naming the entry or path and the cause; nil after a success.
class ReasonsTest < ParvoxTest
  def setup
    super
    linux_only "builds archives with Python and 7z and expects the POSIX wording of system errors (Windows words them its own way)"
  end

  def unzip_all_reason(archive, target = path("out"), password: "")
    zip = Parvox.load(archive, password)
    refute zip.unzip_all(target), "unzip_all of #{archive} answered true"
    zip.last_error
  end

  def test_reasons_of_names_leading_outside_the_target
    ["../evil", "a/../../evil", "/etc/evil", "C:/evil"].each do |name|
      archive = python_zip([{ name: "good.txt", data: "good" }, { name: name, data: "pwned" }])
      assert_equal "'#{name}' leads outside the target folder; not extracted", unzip_all_reason(archive)
    end
  end

  def test_reasons_of_writing_through_links
    outside = path("outside")
    FileUtils.mkdir_p(outside)
    archive = python_zip([{ name: "link", data: outside, link: true }, { name: "link/x", data: "pwned" }])
    assert_match %r{\A'#{Regexp.escape(path('out', 'link', 'x'))}': Not a directory\z},
                 unzip_all_reason(archive)
    FileUtils.rm_rf(path("out"))
    FileUtils.mkdir_p(path("out"))
    File.symlink(outside, path("out", "dir_link"))
    archive = python_zip([{ name: "dir_link/x", data: "pwned" }])
    assert_match(/\A'#{Regexp.escape(path('out', 'dir_link', 'x'))}': /, unzip_all_reason(archive))
    assert_empty Dir.children(outside)
  end

  def test_reasons_of_damage_and_passwords
    data = "line of text that deflates well\n" * 2000
    archive = python_zip([{ name: "big.bin", data: data }])
    ZipBytes.damage_first_entry(archive)
    zip = Parvox.load(archive, "")
    refute zip.unzip_file("big.bin", path("big.bin"))
    assert_match(/\A'big\.bin': data damaged \(.+\)\z/, zip.last_error)

    src = make_tree(path("src"), "docs/a.txt" => "secret " * 100)
    locked = zip_folder(src, "docs", password: "right", archive: path("locked.zip"))
    zip = Parvox.load(locked, "wrong")
    refute zip.unzip_file("docs/docs/a.txt", path("a.txt"))
    assert_equal "wrong password for 'docs/docs/a.txt'", zip.last_error
    zip = Parvox.load(locked, "")
    refute zip.unzip_file("docs/docs/a.txt", path("a.txt"))
    assert_equal "'docs/docs/a.txt' is encrypted and no password was given", zip.last_error
  end

  def test_reasons_of_a_zip_bomb_and_of_the_archive_adding_itself
    bomb = overlapping_bomb(path("bomb.zip"), entries: 2, kernel_size: 20_000_000)
    assert_match(/\A'bomb000[01]' would write more than the archive's size allows \(a zip bomb\); not extracted\z/,
                 unzip_all_reason(bomb))

    zip = Parvox.new(path("self.zip"), "")
    refute zip.add_file(path("self.zip"), "self.zip", false, false)
    assert_equal "'#{path('self.zip')}' is the archive being written; not added", zip.last_error
    zip.close
  end

  def test_a_stored_aes_entry_without_password
    zip = Parvox.load(stored_aes_archive, "")
    refute zip.unzip_file("plain.txt", path("t.txt"))
    assert_equal "'plain.txt' is encrypted and no password was given", zip.last_error
  end

  def test_reasons_of_targets_that_cannot_be_written
    archive = python_zip([{ name: "f.txt", data: "data" }])
    zip = Parvox.load(archive, "")
    File.write(path("file"), "a file")
    refute zip.unzip_file("f.txt", path("file", "f.txt"))
    assert_equal "'#{path('file', 'f.txt')}': Not a directory", zip.last_error
    refute zip.unzip_all(path("file"))
    assert_match(/\A'#{Regexp.escape(path('file', 'f.txt'))}': Not a directory\z/, zip.last_error)
    if File.exist?("/dev/full")
      refute zip.unzip_file("f.txt", "/dev/full")
      assert_equal "'/dev/full': No space left on device", zip.last_error
    end
    assert zip.unzip_file("f.txt", path("ok.txt"))
    assert_nil zip.last_error, "a success leaves no reason"
  end

  # Root writes into read-only folders, so this runs as nobody in a child Ruby.
  def test_reason_of_a_read_only_target_folder
    runner = unprivileged_runner
    archive = python_zip([{ name: "f.txt", data: "data" }])
    FileUtils.mkdir_p(path("out"))
    File.chmod(0o555, path("out"))
    # Also a target whose folders cannot be made there: that is the reason.
    script = 'require "parvox"; zip = Parvox.load(ARGV[0], ""); p zip.unzip_all(ARGV[1]); puts zip.last_error; ' \
             'p zip.unzip_file("f.txt", ARGV[1] + "/sub/f.txt"); puts zip.last_error; ' \
             'p zip.unzip_all(ARGV[1] + "/sub"); puts zip.last_error'
    lib = $LOAD_PATH.find { |dir| File.exist?(File.join(dir, "parvox.so")) }
    out, err, status = Open3.capture3(*runner, RbConfig.ruby, "-I", lib, "-e", script, archive, path("out"))
    assert status.success?, err
    beneath = ["false", "'#{path('out', 'sub', 'f.txt')}': Permission denied"]
    assert_equal ["false", "'#{path('out', 'f.txt')}': Permission denied", *beneath, *beneath],
                 out.lines.map(&:chomp)
  end

  def test_reasons_of_archives_that_do_not_open
    assert_nil Parvox.load(path("missing.zip"), "")
    assert_equal "'#{path('missing.zip')}': No such file or directory", Parvox.last_error
    File.write(path("text.zip"), "just text\n" * 10)
    assert_nil Parvox.load(path("text.zip"), "")
    assert_equal "'#{path('text.zip')}' is not a zip archive", Parvox.last_error
    whole = File.binread(zip_folder(make_tree(path("d"), "a" => "A" * 1000), "d"))
    File.binwrite(path("cut.zip"), whole[0, whole.size / 2])
    assert_nil Parvox.load(path("cut.zip"), "")
    assert_equal "'#{path('cut.zip')}' is not a zip archive", Parvox.last_error
    assert_nil Parvox.new(path("no", "such", "a.zip"), "")
    assert_equal "'#{path('no', 'such', 'a.zip')}': No such file or directory", Parvox.last_error
    assert Parvox.load(path("t.zip"), "")
    assert_nil Parvox.last_error, "a success clears the reason"
  end

  def test_reasons_of_calls_the_archive_cannot_serve
    File.write(path("f.txt"), "data")
    writer = Parvox.new(path("w.zip"), "")
    refute writer.unzip_file("f.txt", path("t"))
    assert_match(/made by new/, writer.last_error)
    assert_nil writer.entries
    assert_match(/made by new/, writer.last_error)
    writer.close
    refute writer.add_file(path("f.txt"), "f.txt", false, false)
    assert_equal "the archive is closed", writer.last_error

    reader = Parvox.load(zip_folder(make_tree(path("d"), "a" => "A"), "d"), "")
    refute reader.add_file(path("f.txt"), "f.txt", false, false)
    assert_match(/opened by load/, reader.last_error)
    refute reader.unzip_file("d/nothing", path("t"))
    assert_equal "no entry named 'd/nothing'", reader.last_error
    refute reader.add_file(path("missing"), "m", false, false)
    refute_nil reader.last_error
    reader.close
    assert_nil reader.entries
    assert_equal "the archive is closed", reader.last_error
  end

  def test_reasons_of_files_that_cannot_be_added
    zip = Parvox.new(path("t.zip"), "")
    refute zip.add_file(path("missing"), "m", false, false)
    assert_equal "'#{path('missing')}' could not be read: No such file or directory", zip.last_error
    File.mkfifo(path("fifo"))
    refute zip.add_file(path("fifo"), "fifo", false, false)
    assert_match(/\A'#{Regexp.escape(path('fifo'))}' could not be read: /, zip.last_error)
    shrinks = Dir["/sys/kernel/mm/transparent_hugepage/*"].find { |f| File.file?(f) && File.readable?(f) }
    if shrinks
      refute zip.add_file(shrinks, "shrinks", false, false)
      assert_equal "'#{shrinks}' shrank while it was read; 'shrinks' is padded with zeros", zip.last_error
    end
    File.write(path("f.txt"), "data")
    assert zip.add_file(path("f.txt"), "f.txt", false, false)
    assert_nil zip.last_error
    zip.close
  end

  def test_failures_that_are_gone_past_are_counted
    src = make_tree(path("src"), "a.txt" => "secret a", "b.txt" => "secret b", "open/" => nil)
    locked = zip_folder(src, "src", password: "right", archive: path("locked.zip"))
    reason = unzip_all_reason(locked, password: "wrong")
    assert_match(/\Awrong password for 'src\/[ab]\.txt' \(the first of 2 failures\)\z/, reason)
  end

  def test_last_error_of_new_and_load_is_per_thread
    File.write(path("text.zip"), "not a zip")
    ready = Queue.new
    go_on = Queue.new
    other = Thread.new do
      Parvox.load(path("missing.zip"), "")
      ready << Parvox.last_error
      go_on.pop
      Parvox.last_error
    end
    assert_equal "'#{path('missing.zip')}': No such file or directory", ready.pop
    assert_nil Parvox.load(path("text.zip"), "")
    go_on << true
    assert_equal "'#{path('missing.zip')}': No such file or directory", other.value
    assert_equal "'#{path('text.zip')}' is not a zip archive", Parvox.last_error
    assert_nil Thread.new { Parvox.last_error }.value, "a new thread starts without a reason"
  end
end
