require_relative "helper"

class TestUnzip < ParvoxTest
  TREE = {
    "a.txt" => "alpha " * 500,
    "empty.txt" => "",
    "sub/b.bin" => (0..255).map(&:chr).join.b * 64,
    "sub/deeper/c.txt" => "c",
    "sub/hollow/" => nil,
    "ünï cödé/日本.txt" => "utf-8 names",
  }.freeze

  def archive_of_tree(password: "")
    zip_folder(make_tree(path("src"), TREE), "src", password: password)
  end

  def test_round_trip_of_a_nested_tree_plain_and_with_a_password
    big = noise(4 * 1024 * 1024 + 17)
    ["", "pässwörd"].each do |password|
      make_tree(path("src"), "big.bin" => big)
      reader = Parvox.load(archive_of_tree(password: password), password)
      out = path("out#{password.size}")
      assert reader.unzip_all(out), "password #{password.inspect}"
      reader.close
      assert_equal tree_of(path("src")), tree_of(File.join(out, "src"))
    end
  end

  def test_unzip_file_finds_entries_by_whole_name_in_any_case_and_separator
    reader = Parvox.load(archive_of_tree, "")
    assert reader.unzip_file("SRC\\Sub/DEEPER\\c.TXT", path("x", "y", "c"))
    assert_equal "c", File.read(path("x", "y", "c"))
    assert reader.unzip_file("src/a.txt", path("a"))
    assert reader.unzip_file("src/a.txt", path("a-again")), "the same entry twice in a row"
    assert_equal File.read(path("a")), File.read(path("a-again"))
    refute reader.unzip_file("src/a", path("prefix")), "a prefix is not a name"
    refute reader.unzip_file("src/a.txt/", path("suffix"))
    refute File.exist?(path("prefix"))
  end

  def test_unzip_file_of_a_folder_entry_creates_only_the_folders_above
    reader = Parvox.load(archive_of_tree, "")
    assert reader.unzip_file("src/sub/hollow", path("p", "q", "target"))
    assert File.directory?(path("p", "q"))
    refute File.exist?(path("p", "q", "target"))
    assert reader.unzip_file("src/sub/hollow/", path("r", "target"))
    assert File.directory?(path("r"))
    File.write(path("plain.txt"), "a file, not a folder")
    refute reader.unzip_file("src/sub/hollow/", path("plain.txt", "sub", "target"))
    assert_match(/plain\.txt/, reader.last_error)
  end

  def test_unreadable_entries_create_nothing_and_are_not_a_success
    archive = archive_of_tree(password: "right")
    ["wrong", ""].each do |password|
      reader = Parvox.load(archive, password)
      refute reader.unzip_file("src/a.txt", path("a-#{password}")), "password #{password.inspect}"
      refute File.exist?(path("a-#{password}"))
      out = path("out-#{password}")
      refute reader.unzip_all(out), "skipped entries answered true"
      assert File.directory?(File.join(out, "src", "sub", "hollow")), "readable entries are still extracted"
      refute File.exist?(File.join(out, "src", "a.txt"))
      assert reader.unzip_file("src/empty.txt", path("e-#{password}")), "an empty file is stored unencrypted"
    end
  end

  # An encrypted entry whose data was changed fails its authentication,
  # whether it is decoded whole or in chunks, stored or deflated: read,
  # unzip_file and unzip_all keep none of it, on one thread or several, and
  # unzip_all ends at the first (later entries stay in the archive).
  def test_forged_encrypted_entries_leave_nothing
    forged = { "small.txt" => "small text\n" * 10_000, "noise.bin" => noise(5 << 20), "text.txt" => "text\n" * (1 << 20) }
    zip = Parvox.new(path("f.zip"), "pw")
    assert zip.add_data("good", "good.txt")
    forged.each_with_index do |(name, data), i|
      assert zip.add_data(data, name)
      assert zip.add_data("later", "later.txt") if i.zero?  # after a forged entry decoded whole
    end
    zip.close
    bytes = File.binread(path("f.zip"))
    at = 0
    while (at = bytes.index("PK\x03\x04".b, at + 1))
      name_size, extra_size = bytes[at + 26, 4].unpack("vv")
      next unless forged.key?(bytes[at + 30, name_size])
      data = at + 30 + name_size + extra_size
      bytes.setbyte(data + 100, bytes.getbyte(data + 100) ^ 1)  # past its salt and verifier
    end
    File.binwrite(path("f.zip"), bytes)
    %w[1 8].each do |threads|
      ENV["PARVOX_THREADS"] = threads
      reader = Parvox.load(path("f.zip"), "pw")
      forged.each_key do |name|
        assert_nil reader.read(name), "#{name}, #{threads} threads"
        assert_equal "'#{name}': data damaged (authentication code mismatch)", reader.last_error
        refute reader.unzip_file(name, path("one-#{threads}", name)), name
        refute File.exist?(path("one-#{threads}", name)), "#{name}: a forged file was kept"
      end
      out = path("all-#{threads}")
      refute reader.unzip_all(out)
      assert_equal({ "good.txt" => "good" }, tree_of(out).to_h, "#{threads} threads: forged data kept, or extraction went on past it")
    ensure
      ENV.delete("PARVOX_THREADS")
    end
  end

  # A large entry is decoded ahead on another thread while the calling one
  # writes or hands out its data. Damage late in the data, a forged
  # authentication code, a declared size below the data, and a stop in the
  # middle end it as on one thread: the same answer and reason, no file left,
  # no thread left behind (in a child with a deadline: a stop that hung would
  # wait on the decoding thread), and the object still reads afterwards.
  def test_large_entries_decoded_ahead_fail_and_stop_as_on_one_thread
    text = (1..).lazy.map { |i| "line #{i * 7919 % 100_003}\n" }.first(700_000).join.b
    good = ZipBytes.write(path("good.zip"), [{ name: "big.txt", data: text }])
    body = ZipBytes.deflate(text)
    late = body.dup.tap { |b| b.setbyte(b.bytesize - 200, b.getbyte(b.bytesize - 200) ^ 0x55) }
    archives = {
      "late" => ZipBytes.write(path("late.zip"), [{ name: "big.txt", data: text, body: late }]),
      "short" => ZipBytes.write(path("short.zip"), [{ name: "big.txt", data: text, local: { size: text.bytesize - 999 },
                                                        central: { size: text.bytesize - 999 } }]),
    }
    zip = Parvox.new(path("aes.zip"), "pw")
    assert zip.add_data(text, "big.txt")
    zip.close
    aes = File.binread(path("aes.zip"))
    data_end = 30 + aes.unpack1("@26v") + aes.unpack1("@28v") + ZipBytes.entries(path("aes.zip"))[0][:compressed]
    { "aes-late" => data_end - 500, "aes-code" => data_end - 1 }.each do |label, at|
      forged = aes.dup.tap { |b| b.setbyte(at, b.getbyte(at) ^ 1) }
      archives[label] = path("#{label}.zip").tap { |p| File.binwrite(p, forged) }
    end
    script = <<~RUBY
      # Threads are counted in /proc on Linux; Windows has none (under Wine
      # /proc is the Unix side's, which knows nothing of Windows threads).
      # Ruby's own (3.4 keeps a timer thread from the start) are counted first.
      tasks = -> { RUBY_PLATFORM.match?(/mingw|mswin/) ? 0 : Dir.children("/proc/self/task").size }
      rubys = tasks.call
      out, good, *archives = ARGV
      files = -> { Dir.glob("**/*", base: out).select { |f| File.file?(File.join(out, f)) } }
      outcome = ->(label, reader, answer, left) { puts [label, answer.inspect, reader.last_error, left].join("|") }
      archives.each_slice(2) do |label, archive|
        reader = Parvox.load(archive, "pw")
        outcome.(label + " all", reader, reader.unzip_all("\#{out}/\#{label}"), files.call)
        outcome.(label + " file", reader, reader.unzip_file("big.txt", "\#{out}/f"), File.exist?("\#{out}/f"))
        outcome.(label + " read", reader, reader.read("big.txt").nil?, "")
        outcome.(label + " chunks", reader, reader.read("big.txt") { }, "")
      end
      reader = Parvox.load(good, "")
      outcome.("stop all", reader, reader.unzip_all("\#{out}/all") { |_, done, _| break :stopped if done > (3 << 20) }, files.call)
      outcome.("stop file", reader, reader.unzip_file("big.txt", "\#{out}/f") { |_, done, _| break :stopped if done > (3 << 20) },
               File.exist?("\#{out}/f"))
      seen = 0
      outcome.("stop chunks", reader, reader.read("big.txt") { |c| break :stopped if (seen += c.bytesize) > (3 << 20) }, "")
      outcome.("after", reader, reader.read("big.txt")&.bytesize, "")
      50.times { tasks.call > rubys ? sleep(0.1) : break }  # Ruby 3.1's timer thread ends a while after the last wait
      outcome.("threads", reader, tasks.call - rubys, "")
    RUBY
    args = archives.flat_map { |label, archive| [label, archive] }
    runs = %w[1 2 8].to_h do |threads|
      out, status = ruby_child(script, path("out#{threads}"), good, *args, env: { "PARVOX_THREADS" => threads }, deadline: 120)
      assert status.success?, "#{threads} threads: #{out}"
      [threads, out.lines.map(&:chomp)]
    end
    one = runs["1"]
    assert_equal 4 * archives.size + 5, one.size, one.join("\n")
    one.grep(/^(late|short|aes)/).each { |line| assert_match(/^\S+ \w+\|(false|true)\|'big.txt': data damaged \(.+\)\|(false|)$/, line) }
    assert_includes one, "aes-code all|false|'big.txt': data damaged (authentication code mismatch)|"
    assert_includes one, "stop all|:stopped|stopped while 'big.txt' was read|"
    assert_includes one, "stop file|:stopped|stopped while 'big.txt' was read|false"
    assert_includes one, "stop chunks|:stopped|stopped while 'big.txt' was read|"
    assert_includes one, "after|#{text.bytesize}||"
    assert_includes one, "threads|0||", "a thread outlived its call"
    %w[2 8].each { |threads| assert_equal one, runs[threads], "#{threads} threads differ from one" }
  end

  # Files already in the target at the names of later entries are left as
  # they were when an earlier entry stops the extraction (damaged data, a
  # break or an exception in the block), at any thread count: only entries
  # extracted before the stop may replace what is there.
  def test_a_stop_leaves_existing_files_of_later_entries_alone
    later = (1..40).to_h { |i| ["k#{i}.txt", "new #{i}"] }
    entries = [{ name: "first.txt", data: "first" }, { name: "bad.txt", data: "deflates well\n" * 2000 }]
    entries += later.map { |name, data| { name: name, data: data } }
    good = ZipBytes.write(path("good.zip"), entries)
    damaged = ZipBytes.write(path("damaged.zip"), entries.drop(1))
    ZipBytes.damage_first_entry(damaged)
    %w[1 2 8].each do |threads|
      ENV["PARVOX_THREADS"] = threads
      { "damaged" => damaged, "break" => good, "raise" => good }.each do |label, archive|
        out = path("#{label}#{threads}")
        make_tree(out, later.to_h { |name, _| [name, "kept #{name}"] })
        reader = Parvox.load(archive, "")
        answer = case label
                 when "damaged" then reader.unzip_all(out)
                 when "break" then reader.unzip_all(out) { |name, *| break :stopped if name == "first.txt" }
                 else (reader.unzip_all(out) { |name, *| raise IOError if name == "first.txt" } rescue :raised)
                 end
        refute_equal true, answer, "#{label}, #{threads} threads"
        kept = later.keys.reject { |name| File.file?(File.join(out, name)) && File.read(File.join(out, name)) == "kept #{name}" }
        assert_empty kept, "#{label}, #{threads} threads: files of entries after the stop replaced or removed"
      end
    ensure
      ENV.delete("PARVOX_THREADS")
    end
  end

  # A file already where an entry goes is touched only by an entry that
  # checks out: one failing its CRC or its authentication, decoded whole or
  # in pieces, leaves the file as it was and nothing beside it, through
  # unzip_file and unzip_all, on one thread or two.
  def test_a_damaged_entry_leaves_an_existing_file_as_it_was
    rows = { "small.txt" => "small entry\n" * 2000, "large.txt" => "large entry, in pieces\n" * 250_000 }.flat_map do |name, data|
      wrong = Zlib.crc32(data) ^ 1
      crc = ZipBytes.write(path("crc-#{name}.zip"), [{ name: name, data: data, local: { crc: wrong }, central: { crc: wrong } }])
      aes = Parvox.new(path("aes-#{name}.zip"), "pw")
      assert aes.add_data(data, name)
      aes.close
      [[name, crc, ""], [name, ZipBytes.damage_first_entry(path("aes-#{name}.zip")), "pw"]]
    end
    rows.product(%w[1 2]).each_with_index do |((name, archive, password), threads), i|
      ENV["PARVOX_THREADS"] = threads
      what = "#{File.basename(archive)}, #{threads} threads"
      out = make_tree(path("out#{i}"), name => "kept")
      zip = Parvox.load(archive, password)
      refute zip.unzip_file(name, File.join(out, name)), what
      assert_equal [[name, "kept"]], tree_of(out), "#{what}: unzip_file"
      refute zip.unzip_all(out), what
      assert_match(/^'#{name}': data damaged/, zip.last_error, what)
      assert_equal [[name, "kept"]], tree_of(out), "#{what}: unzip_all"
    ensure
      ENV.delete("PARVOX_THREADS")
    end
  end

  # Of entries with one name, the last in archive order stays, on one thread
  # or eight, whatever their sizes (large entries are decoded at their turn,
  # small ones on the workers).
  def test_the_last_of_entries_with_one_name_stays
    big = noise(6 << 20)
    entries = [["dup.txt", "first"], ["dup.txt", big], ["d/a.txt", "a"], ["dup.txt", "third"],
               ["d/a.txt", big], ["big.bin", big], ["big.bin", "small, last"], ["d", "a file named d"]]
    archive = ZipBytes.write(path("dups.zip"), entries.map { |name, data| { name: name, data: data } })
    expected = entries.first(7).to_h.merge("d" => :dir)
    %w[1 8].each do |threads|
      ENV["PARVOX_THREADS"] = threads
      reader = Parvox.load(archive, "")
      refute reader.unzip_all(path("out#{threads}")), "the file named like a folder fails"
      assert_match(/out#{threads}\/d': /, reader.last_error)
      assert_equal expected.sort, tree_of(path("out#{threads}")).map { |name, data| [name, data] }.sort, "#{threads} threads"
    ensure
      ENV.delete("PARVOX_THREADS")
    end
  end

  def test_extraction_on_an_archive_being_written_leaves_it_intact
    File.write(path("one"), "1")
    File.write(path("two"), "2")
    zip = Parvox.new(path("w.zip"), "")
    assert zip.add_file(path("one"), "one", false, false)
    refute zip.unzip_file("one", path("x"))
    refute zip.unzip_all(path("out"))
    assert zip.add_file(path("two"), "two", false, false)
    zip.close
    assert_equal %w[one two], entry_names(path("w.zip"))
    assert Parvox.load(path("w.zip"), "").unzip_all(path("out"))
    assert_equal "2", File.read(path("out", "two"))
  end

  def test_backslash_names_become_folders_and_dot_segments_are_harmless
    archive = make_zip("a\\b\\c.txt" => "back", "./d/./e.txt" => "dot")
    assert Parvox.load(archive, "").unzip_all(path("out"))
    assert_equal "back", File.read(path("out", "a", "b", "c.txt"))
    assert_equal "dot", File.read(path("out", "d", "e.txt"))
  end

  def test_an_archive_without_entries_extracts_nothing
    Parvox.new(path("e.zip"), "").close
    refute Parvox.load(path("e.zip"), "").unzip_all(path("out"))
  end

  def test_write_errors_are_failures
    skip "needs /dev/full" unless File.exist?("/dev/full")
    reader = Parvox.load(archive_of_tree, "")
    device = File.stat("/dev/full")
    refute reader.unzip_file("src/a.txt", "/dev/full")
    assert reader.unzip_file("src/empty.txt", "/dev/full"), "nothing to write, nothing fails"
    assert_equal [device.mode, device.mtime], File.stat("/dev/full").then { |s| [s.mode, s.mtime] },
                 "the device keeps its mode and time"
  end

  def test_long_paths_and_names
    linux_only "paths beyond Windows' MAX_PATH, which Ruby 2.7's file methods there cannot reach"
    name = (["n" * 200] * 10).join("/")
    archive = make_zip(name => "deep")
    assert Parvox.load(archive, "").unzip_all(path("out"))
    assert_equal "deep", File.read(File.join(path("out"), name))
  end

  private

  def make_zip(files)
    ZipBytes.write(path("made.zip"), files.map { |name, data| { name: name, data: data } })
  end
end
