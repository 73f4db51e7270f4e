require "helper"
require "rbconfig"

# A folder add goes on past what it cannot store, but answers false and
# names it; every other file still arrives whole.
class HonestFoldersTest < ParvoxTest
  # Files beneath `root` (folders left out) with their bytes, by relative path.
  def files_of(root)
    tree_of(root).reject { |_, data| data == :dir }
  end

  def extracted(archive, name)
    zip = Parvox.load(archive, "")
    zip.unzip_all(path("out"))
    zip.close
    files_of(path("out", name))
  end

  def test_files_that_cannot_be_read_make_the_answer_false
    unreadable = Dir["/sys/bus/*/uevent"].find { |f| File.stat(f).mode & 0o444 == 0 }
    shrinks = Dir["/sys/kernel/mm/transparent_hugepage/*"].find { |f| File.file?(f) && File.readable?(f) }
    skip "no unreadable sysfs file" unless unreadable
    src = make_tree(path("src"), "a.txt" => "A" * 1000, "sub/b.txt" => "B" * 10, "sub/deeper/c" => "C")
    intact = files_of(src)
    File.symlink(unreadable, path("src", "sub", "locked"))
    File.symlink(shrinks, path("src", "shrinks")) if shrinks
    zip = Parvox.new(path("t.zip"), "")
    refute zip.add_file(src, "src", true, true), "files were missing, the answer was true"
    failures = shrinks ? 2 : 1
    assert_match(/could not be read: Permission denied|shrank while it was read/, zip.last_error)
    assert_match(/\(the first of 2 failures\)\z/, zip.last_error) if failures == 2
    zip.close
    got = extracted(path("t.zip"), "src")
    assert_equal intact, got.reject { |rel, _| rel == "shrinks" }, "every readable file arrives whole"
    refute got.any? { |rel, _| rel == "sub/locked" }, "an unreadable file was stored"
  end

  def test_a_folder_walk_of_what_is_skipped_on_purpose_answers_true
    linux_only "FIFOs"
    src = make_tree(path("src"), "a" => "A", ".svn/x" => "X", "sub/b" => "B")
    File.mkfifo(path("src", "fifo"))
    File.symlink(path("src"), path("src", "sub", "up"))
    File.symlink(path("nowhere"), path("src", "broken"))
    zip = Parvox.new(path("t.zip"), "")
    assert zip.add_file(src, "src", true, true)
    assert_nil zip.last_error
    assert zip.add_file(path("missing"), "gone", true, true), "a missing source still has its own entry"
    zip.close
  end

  # chmod 000 keeps nothing from root, so this runs as nobody in a child Ruby.
  def test_unreadable_files_and_folders_as_an_unprivileged_user
    runner = unprivileged_runner
    src = make_tree(path("src"), "a.txt" => "A" * 5000, "secret.txt" => "S", "closed/x" => "X",
                                 "open/y.txt" => "Y" * 300)
    File.chmod(0o000, path("src", "secret.txt"))
    File.chmod(0o000, path("src", "closed"))
    FileUtils.mkdir_p(path("work"))
    File.chmod(0o777, path("work"))
    archive = path("work", "t.zip")
    script = <<~RB
      require "parvox"
      zip = Parvox.new(ARGV[0], "")
      answer = zip.add_file(ARGV[1], "src", true, true)
      reason = zip.last_error
      zip.close
      puts answer, reason
    RB
    lib = $LOAD_PATH.find { |dir| File.exist?(File.join(dir, "parvox.so")) }
    out, err, status = Open3.capture3(*runner, RbConfig.ruby, "-I", lib, "-e", script, archive, src)
    assert status.success?, err
    answer, reason = out.lines.map(&:chomp)
    assert_equal "false", answer
    assert_match(/\A'#{Regexp.escape(path('src'))}\/(secret\.txt|closed)' could not be read: Permission denied /,
                 reason)
    assert_match(/\(the first of 2 failures\)\z/, reason)
    File.chmod(0o644, path("src", "secret.txt"))
    assert_equal [["a.txt", "A" * 5000], ["open/y.txt", "Y" * 300]], extracted(archive, "src")
  end

  def test_files_deleted_while_the_folder_is_walked
    linux_only "fork"
    # Hex text: deflate works on it for a while (noise would be stored at once).
    src = make_tree(path("src"), "big.bin" => noise(16 << 20).unpack1("H*"))
    30.times { |i| File.write(path("src", "small#{i}.txt"), "small #{i}\n" * 50) }
    # Files are listed first and then added in that order: those after
    # big.bin are still to come while it is compressed.
    order = Dir.children(src)
    victims = order.drop(order.index("big.bin") + 1)
    skip "big.bin is listed last" if victims.empty?
    archive = path("t.zip")
    deleter = fork do
      sleep 0.01 until File.exist?(archive) && File.size(archive) > (2 << 20)
      victims.each { |name| File.delete(File.join(src, name)) }
      exit!(0)
    end
    zip = Parvox.new(archive, "")
    answer = zip.add_file(src, "src", true, true)
    reason = zip.last_error
    zip.close
    Process.wait(deleter)
    refute answer, "files deleted before they were read, the answer was true"
    assert_match(/\A'#{Regexp.escape(src)}\/small\d+\.txt' could not be read: No such file or directory/, reason)
    assert_match(/\(the first of #{victims.size} failures\)\z/, reason) if victims.size > 1
    assert_equal files_of(src), extracted(archive, "src"), "everything still there arrives whole"
  end
end
