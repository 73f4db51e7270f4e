require_relative "helper"

# What only Windows has: names beyond the ANSI code page, the two forms of a
# password, the archive attribute, names Windows reserves, reparse points and
# the library's own path. script/windows runs these under Wine with the ANSI
# code page 1252 and, under Ruby 2.7, again with 932.
return unless ParvoxTest::WINDOWS

class TestWindows < ParvoxTest
  ANSI = Encoding.find("locale")

  TREE = {
    "café/résumé.txt" => "é " * 300,
    "日本/語.txt" => "日本",
    "Жук/жук.bin" => (0..255).map(&:chr).join.b * 40,
    "Жук/日本 é/deep.txt" => "mixed",
    "Жук/hollow/" => nil,
  }.freeze

  # script/windows names the code page it asked Wine for.
  def test_the_ansi_code_page_is_the_one_asked_for
    skip "PARVOX_ANSI_CODE_PAGE names no code page" unless ENV["PARVOX_ANSI_CODE_PAGE"]
    assert_equal Encoding.find("CP#{ENV['PARVOX_ANSI_CODE_PAGE']}"), ANSI
  end

  # The first of `texts` the ANSI code page can hold.
  def in_ansi(*texts)
    texts.find { |text| text.encode(ANSI) rescue nil } or raise "no text for #{ANSI}"
  end

  def test_round_trip_of_names_outside_the_ansi_code_page
    ["", "pässwörd"].each do |password|
      src = make_tree(path("src#{password.size}"), TREE)
      archive = zip_folder(src, "日本 Жук", password: password, archive: path("t#{password.size}.zip"))
      stored = ZipBytes.entries(archive)
      assert stored.all? { |e| e[:name].ascii_only? || e[:utf8] }, "a non-ASCII name without the UTF-8 flag"
      assert_includes ZipBytes.names(archive), "日本 Жук/Жук/日本 é/deep.txt"
      refute ZipBytes.names(archive).any? { |name| name.include?("\\") }, "a stored '\\'"

      out = path("out#{password.size}")
      zip = Parvox.load(archive, password)
      assert zip.unzip_all(out), "password #{password.inspect}"
      assert_equal tree_of(src), tree_of(File.join(out, "日本 Жук"))
      assert zip.unzip_file("日本 Жук\\日本\\語.txt", path("Жук-one", "語.txt")), "one entry by name"
      assert_equal "日本", File.read(path("Жук-one", "語.txt"), encoding: "UTF-8")
      zip.close
    end
  end

  # Once the names are known, only a name the archive lacks is answered on
  # the calling thread; a name beyond the ANSI code page is found and
  # extracted like any other, reporting progress as it goes.
  def test_names_beyond_the_ansi_code_page_are_found_once_every_name_is_known
    archive = zip_folder(make_tree(path("src"), TREE), "s")
    zip = Parvox.load(archive, "")
    refute zip.unzip_file("none", path("none"))  # every name is known from here on
    reports = []
    assert zip.unzip_file("s/Жук/жук.bin", path("жук.bin")) { |*report| reports << report }
    assert_equal [["s/Жук/жук.bin", 10_240, 10_240]], reports
  end

  def test_entry_names_separate_with_slashes_only
    File.write(path("f.txt"), "f")
    zip = Parvox.new(path("s.zip"), "")
    assert zip.add_file(path("f.txt"), "dir\\sub\\f.txt", false, false)
    assert zip.add_file(path("f.txt").tr("/", "\\"), "dir/g.txt", false, false), "a path with '\\'"
    zip.close
    assert_equal %w[dir/sub/f.txt dir/g.txt], entry_names(path("s.zip"))
  end

  # Names without the UTF-8 flag are in the ANSI code page, as Windows tools
  # of old wrote them.
  def test_unflagged_names_are_read_in_the_ansi_code_page
    name = in_ansi("café/naïve.txt", "日本/語.txt")
    archive = ZipBytes.write(path("ansi.zip"), [{ name: name.encode(ANSI).b, data: "old", utf8: false }])
    assert Parvox.load(archive, "").unzip_all(path("out"))
    assert_equal [[name.split("/").first, :dir], [name, "old"]], tree_of(path("out"))
    assert Parvox.load(archive, "").unzip_file(name, path("one.txt"))
  end

  # Names from zips made on Linux and macOS, stored in UTF-8 without the flag:
  # taken as UTF-8, and a Unicode Path field whose CRC matches wins.
  def test_unflagged_utf8_names_and_unicode_paths_keep_their_true_names
    archive = ZipBytes.write(path("linux.zip"), [
      { name: "café été/日本.txt", data: "utf-8", utf8: false },
      { name: "na\x8Bve.txt".b, data: "cp437", utf8: false,
        extra: ZipBytes.unicode_path_field("na\x8Bve.txt".b, "naïve.txt") },
    ])
    zip = Parvox.load(archive, "")
    assert zip.unzip_all(path("out")), zip.last_error
    assert_equal [["café été", :dir], ["café été/日本.txt", "utf-8"], ["naïve.txt", "cp437"]], tree_of(path("out"))
    assert_equal ["café été/日本.txt", "naïve.txt"], zip.entries.map(&:name)
    assert_equal "utf-8", zip.read("café été/日本.txt")
    assert zip.unzip_file("naïve.txt", path("one.txt"))
  end

  # New archives take the ANSI form of a password as key material where it
  # spells the password exactly, else its UTF-8 bytes (never '?'); reading
  # accepts that form and the UTF-8 form, which other Windows tools use.
  def test_passwords_open_in_either_form_and_only_the_right_one
    password = in_ansi("pässwörd", "アイウ")
    refute_equal password.b, password.encode(ANSI).b, "a password whose two forms differ"
    File.write(path("f.txt"), "secret " * 100)
    # A password whose ANSI bytes are the UTF-8 bytes of `password`: what a
    # tool keying with UTF-8 writes.
    as_utf8 = password.b.force_encoding(ANSI).encode("UTF-8")
    { "ansi" => password, "utf8" => as_utf8 }.each do |form, key|
      archive = path("#{form}.zip")
      zip = Parvox.new(archive, key)
      assert zip.add_file(path("f.txt"), "f.txt", false, false)
      zip.close
      reader = Parvox.load(archive, password)
      assert reader.unzip_file("f.txt", path("#{form}.txt")), "#{form} form"
      assert_equal File.read(path("f.txt")), File.read(path("#{form}.txt"))
      refute Parvox.load(archive, "wrong").unzip_file("f.txt", path("#{form}-wrong.txt")), "#{form}: wrong password"
      refute Parvox.load(archive, "").unzip_file("f.txt", path("#{form}-none.txt")), "#{form}: no password"
    end
    beyond = "✓✔✗"  # in no ANSI code page
    zip = Parvox.new(path("beyond.zip"), beyond)
    assert zip.add_file(path("f.txt"), "f.txt", false, false)
    zip.close
    assert Parvox.load(path("beyond.zip"), beyond).unzip_file("f.txt", path("beyond.txt"))
    refute Parvox.load(path("beyond.zip"), "???").unzip_file("f.txt", path("beyond-q.txt")), "keyed with '?'"
  end

  # attrib prints the attribute letters before the path.
  def attributes(file)
    out = IO.popen(["attrib", file.tr("/", "\\")], &:read)
    out[0, out.index(/[A-Za-z]:\\/) || 0]
  end

  # A cleared archive attribute leaves a file a file; a set one leaves a
  # folder a folder, with its subtree.
  def test_the_archive_attribute_decides_nothing
    src = make_tree(path("src"), "cleared.txt" => "c", "marked/inner.txt" => "i", "plain.txt" => "p")
    system("attrib", "-A", path("src", "cleared.txt").tr("/", "\\"))
    system("attrib", "+A", path("src", "marked").tr("/", "\\"))
    unless !attributes(path("src", "cleared.txt")).include?("A") && attributes(path("src", "marked")).include?("A")
      skip "this Wine cannot store the archive attribute (attrib shows no change), so its role is untested"
    end
    zip_folder(src, "src")
    assert_equal %w[src/ src/cleared.txt src/marked/ src/marked/inner.txt src/plain.txt],
                 entry_names(path("t.zip")).sort
  end

  # hidden: false leaves out what the system marks hidden, as it does names
  # beginning with '.'; the positional form adds it all.
  def test_the_hidden_attribute_leaves_out_what_it_marks_with_hidden_false
    src = make_tree(path("src"), "marked.txt" => "m", "folder/inner.txt" => "i", ".dot" => "d", "plain.txt" => "p")
    %w[marked.txt folder].each { |name| system("attrib", "+H", path("src", name).tr("/", "\\")) }
    unless %w[marked.txt folder].all? { |name| attributes(path("src", name)).include?("H") }
      skip "this Wine cannot store the hidden attribute (attrib shows no change)"
    end
    zip = Parvox.new(path("t.zip"), "")
    assert zip.add_file(src, "shown", true, true, hidden: false)
    assert zip.add_file(src, "all", true, true)
    zip.close
    assert_equal %w[all/ all/.dot all/folder/ all/folder/inner.txt all/marked.txt all/plain.txt shown/ shown/plain.txt],
                 entry_names(path("t.zip")).sort
  end

  # Times go in from the last-write time and come back through the wide
  # interfaces, names beyond the ANSI code page included; Windows has no modes.
  def test_times_of_files_and_folders_come_back
    times = { "日本/a.txt" => Time.utc(1985, 7, 14, 3, 4, 6), "é.txt" => Time.utc(2040, 2, 29, 12, 30, 44),
              "日本" => Time.utc(1999, 12, 31, 22) }
    src = make_tree(path("src"), "日本/a.txt" => "a", "é.txt" => "b")
    times.each { |rel, time| File.utime(time, time, File.join(src, rel)) }
    zip = Parvox.load(zip_folder(src, "s"), "")
    assert_equal times.transform_keys { |rel| "s/#{rel}" }, zip.entries.to_h { |e| [e.name.chomp("/"), e.mtime] }.reject { |name, _| name == "s" }
    assert zip.unzip_all(path("out"))
    times.each { |rel, time| assert_equal time, File.mtime(path("out", "s", rel)), rel }
    assert zip.unzip_file("s/é.txt", path("one.txt"))
    assert_equal times["é.txt"], File.mtime(path("one.txt"))
  end

  HOSTILE = [
    "a:b.txt", "file.txt:stream", "dir:/x.txt", "CON", "con.txt", "Aux.tar.gz", "nul", "NUL .txt", "PRN",
    "COM1", "com9.log", "LPT1", "lpt9.txt", "sub/CONOUT$", "COM\u00B9", "trail.", "trail ", ".. ", "sub/. /x",
    "sub/dots.../x", "lt<", "gt>", "quote\"", "pipe|", "what?", "star*", "ctl\u0001", "tab\tname",
    "\\\\?\\C:\\evil", "\\\\server\\share\\evil", "//server/share/evil", "\\\\.\\pipe\\evil",
  ].freeze

  def test_names_windows_reserves_are_refused
    make_tree(path("work"), "keep.txt" => "keep")
    HOSTILE.each do |name|
      out = path("work", "out")
      FileUtils.rm_rf(out)
      archive = ZipBytes.write(path("h.zip"), [{ name: "good.txt", data: "good" }, { name: name, data: "pwned" }])
      assert_equal false, Parvox.load(archive, "").unzip_all(out), "#{name.inspect}: answer"
      assert_equal [["good.txt", "good"]], tree_of(out), "#{name.inspect}: only the good entry"
      assert_equal %w[keep.txt out], Dir.children(path("work")).sort, "#{name.inspect}: wrote beside the target"
    end
    assert_equal "keep", File.read(path("work", "keep.txt"))
  end

  def test_names_that_only_look_reserved_are_extracted
    names = ["CONSOLE.txt", "COM10", "LPT0", "nul_file", "con-tent/aux_x.txt", "a.b.c", ".hidden", "x.y z"]
    archive = ZipBytes.write(path("ok.zip"), names.map { |name| { name: name, data: name } })
    assert Parvox.load(archive, "").unzip_all(path("out"))
    names.each { |name| assert_equal name, File.read(path("out", name)) }
  end

  # Makes a junction, or failing that a folder link; nil when Wine can make
  # neither as a reparse point.
  def make_folder_link(link, target)
    [%w[/J], %w[/D]].each do |switch|
      system("cmd", "/c", "mklink", *switch, link.tr("/", "\\"), target.tr("/", "\\"), out: File::NULL, err: File::NULL)
      return link if File.symlink?(link)

      FileUtils.rm_rf(link)
    end
    nil
  end

  def test_links_and_junctions_beneath_the_target_are_not_followed
    make_tree(path("work"), "outside/" => nil, "out/real/" => nil)
    unless make_folder_link(path("work", "out", "link"), path("work", "outside"))
      skip "this Wine makes no junctions or folder links (mklink /J and /D), so they are untested here"
    end
    archive = ZipBytes.write(path("j.zip"), [{ name: "real/ok.txt", data: "ok" }, { name: "link/x", data: "pwned" }])
    assert_equal false, Parvox.load(archive, "").unzip_all(path("work", "out"))
    assert_empty Dir.children(path("work", "outside"))
    assert_equal "ok", File.read(path("work", "out", "real", "ok.txt"))
  end

  def test_get_path_is_the_true_path_of_the_library
    lib = Parvox.get_path
    assert_match %r{\A[A-Za-z]:/}, lib
    assert_equal "parvox.so", File.basename(lib)
    # The UCRT gem holds one per Ruby: the loader took this Ruby's.
    assert lib.end_with?("/parvox/#{RUBY_VERSION[/\A\d+\.\d+/]}/parvox.so"), lib if RUBY_PLATFORM.end_with?("ucrt")
    assert File.file?(lib), lib
    refute_includes lib, "\\"

    # A copy in a folder whose name the ANSI code page cannot hold (1252
    # lacks 日本, 932 lacks ü), loaded by a second Ruby.
    folder = path("Jürgen 日本")
    FileUtils.mkdir_p(folder)
    FileUtils.cp(lib, File.join(folder, "parvox.so"))
    answer = path("answer.txt")
    # Ruby 2.7 takes its command line in the ANSI code page: the path goes in a file.
    File.write(path("lib.txt"), File.join(folder, "parvox.so"), encoding: "UTF-8")
    script = 'require File.read(ARGV[0], encoding: "UTF-8"); File.binwrite(ARGV[1], Parvox.get_path)'
    assert system(RbConfig.ruby, "-e", script, path("lib.txt"), answer), "the second Ruby failed"
    assert_equal File.join(folder, "parvox.so"), File.binread(answer).force_encoding("UTF-8")
  end
end
