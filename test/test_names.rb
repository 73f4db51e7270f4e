require "helper"
require "rbconfig"

# Non-ASCII names and passwords under the locales a process meets: the C
# locale (charset ASCII, where names are taken as UTF-8), a UTF-8 locale and a
# Latin-1 locale (where names on disk are Latin-1 bytes). Parvox reads the
# process locale, so each case runs in a child Ruby with LC_ALL set.
class NamesTest < ParvoxTest
  LOCALES = { "C" => "US-ASCII", "C.UTF-8" => "UTF-8", "en_US.ISO-8859-1" => "ISO-8859-1" }.freeze
  UTF8_NAMES = %w[C C.UTF-8].freeze
  LATIN1 = "en_US.ISO-8859-1".freeze
  TOOL_ENV = { "LC_ALL" => "C.UTF-8" }.freeze
  PASSWORD = "pässwörd".freeze

  # Zips the folder argv[2] (names relative to its parent) into argv[1],
  # folders included.
  PY_ZIP = <<~PY.freeze
    import os, sys, zipfile
    archive, root = sys.argv[1], sys.argv[2]
    base = os.path.dirname(root)
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as zf:
        zf.write(root, os.path.relpath(root, base))
        for folder, subfolders, files in os.walk(root):
            for name in sorted(subfolders) + sorted(files):
                full = os.path.join(folder, name)
                zf.write(full, os.path.relpath(full, base))
  PY

  # Each entry's name and whether it carries the UTF-8 flag, one a line.
  PY_FLAGS = <<~PY.freeze
    import sys, zipfile
    for info in zipfile.ZipFile(sys.argv[1]).infolist():
        print("%s %s" % (info.flag_bits & 0x800 != 0, info.filename))
  PY

  def setup
    super
    linux_only "Linux locales and the Linux peer tools (test_windows covers Windows' names)"
    @big = noise(70_000)
    @src = make_tree(path("src"),
                     "été.txt" => "summer\n",
                     "plain/ascii.txt" => "ascii\n",
                     "日本/語.txt" => "日本語\n" * 100,
                     "日本/深い/Жук.bin" => @big)
  end

  # Runs `code` in a child Ruby under `locale`, with this build of Parvox and
  # `args` as ARGV; answers the code's value.
  def in_locale(locale, code, *args)
    script = path("child-#{locale}.rb")
    File.write(script, <<~RUBY)
      require "parvox"
      answer = begin
      #{code}
      end
      $stdout.binmode
      $stdout.write(Marshal.dump([Encoding.find("locale").name, answer]))
    RUBY
    out, err, status = Open3.capture3({ "LC_ALL" => locale }, RbConfig.ruby,
                                      "-I", File.dirname(Parvox.get_path), script, *args, binmode: true)
    assert status.success?, "child Ruby under #{locale} failed:\n#{err}"
    charset, answer = Marshal.load(out)
    assert_equal LOCALES.fetch(locale), charset, "the child runs under #{locale} (is it installed?)"
    answer
  end

  def tool!(*cmd)
    out, err, status = Open3.capture3(TOOL_ENV, *cmd, chdir: @dir, stdin_data: "", binmode: true)
    assert status.success?, "#{cmd.join(' ')} failed:\n#{err}#{out}"
    out.force_encoding("UTF-8")
  end

  # The files and folders beneath `root` with relative names as bytes.
  def byte_tree(root)
    tree_of(root).map { |rel, data| [rel.b, data] }.sort
  end

  # What a Latin-1 process extracts of @src: the names Latin-1 can hold, as
  # Latin-1 bytes, and nothing for the others.
  def latin1_part_of_src
    [["plain".b, :dir], ["plain/ascii.txt".b, "ascii\n"], ["\xE9t\xE9.txt".b, "summer\n"]].sort
  end

  def names_without_slash(lines)
    lines.map { |l| l.chomp.chomp("/") }.reject(&:empty?).sort
  end

  def test_archives_of_other_tools_extract_under_their_true_names
    archives = {
      "python zipfile" => ->(a) { tool!("python3", "-c", PY_ZIP, a, @src) },
      "7z" => ->(a) { tool!("7z", "a", "-tzip", a, "src") },
      "bsdtar" => ->(a) { tool!("bsdtar", "--format", "zip", "-cf", a, "src") },
    }.map do |tool, make|
      archive = path("#{tool.tr(' ', '_')}.zip")
      make.call(archive)
      [tool, archive]
    end

    LOCALES.each_key do |locale|
      out = path("out-#{locale}")
      answers = in_locale(locale, <<~RUBY, out, *archives.map(&:last))
        out = ARGV.shift
        ARGV.map.with_index do |archive, i|
          zip = Parvox.load(archive, "")
          [zip.unzip_all("\#{out}/\#{i}"), zip.unzip_file("src/日本/深い/Жук.bin", "\#{out}/\#{i}.bin"),
           zip.unzip_file("src/été.txt", "\#{out}/\#{i}.txt")]
        end
      RUBY
      archives.each_with_index do |(tool, _), i|
        what = "#{tool} archive under #{locale}"
        extracted = File.join(out, i.to_s)
        assert_equal [locale != LATIN1, true, true], answers[i], "#{what}: answers"
        assert_equal ["src"], Dir.children(extracted), "#{what}: only the archived tree"
        assert_equal "summer\n", File.binread(File.join(out, "#{i}.txt")), "#{what}: unzip_file of été.txt"
        assert_equal @big, File.binread(File.join(out, "#{i}.bin")), "#{what}: unzip_file of Жук.bin"
        if locale == LATIN1
          assert_equal latin1_part_of_src, byte_tree(File.join(extracted, "src")), "#{what}: Latin-1 names only"
        else
          assert_equal byte_tree(@src), byte_tree(File.join(extracted, "src")), "#{what}: tree"
        end
      end
    end
  end

  # Names stored without the UTF-8 flag, as zip on Linux and macOS writes
  # them: valid UTF-8 with a non-ASCII byte is taken as UTF-8; a Unicode Path
  # field whose CRC matches the stored name wins; anything else is the bytes
  # as stored. unzip_file, read and entries agree in every locale; unzip_all
  # skips what Latin-1 lacks.
  def test_unflagged_names_are_read_as_utf8_or_from_their_unicode_path
    archive = ZipBytes.write(path("unflagged.zip"), [
      { name: "café été.txt", data: "utf-8\n", utf8: false },
      { name: "日本/語.txt", data: "nihongo\n", utf8: false },
      { name: "\xE9t\xE9.txt".b, data: "latin-1\n", utf8: false },
      { name: "na\x8Bve.txt".b, data: "cp437\n", utf8: false,
        extra: ZipBytes.unicode_path_field("na\x8Bve.txt".b, "naïve.txt") },
      { name: "stale\x8B.txt".b, data: "stale\n", utf8: false,
        extra: ZipBytes.unicode_path_field("other".b, "wrong.txt") },
    ])
    LOCALES.each_key do |locale|
      out = path("out-#{locale}")
      answers = in_locale(locale, <<~RUBY, archive, out)
        archive, out = ARGV
        zip = Parvox.load(archive, "")
        [zip.unzip_all(out), zip.entries.map { |e| e.name&.b },
         zip.unzip_file("café été.txt", out + ".one"), zip.read("naïve.txt")]
      RUBY
      what = "under #{locale}"
      names = ["café été.txt".b, "日本/語.txt".b, "\xE9t\xE9.txt".b, "naïve.txt".b, "stale\x8B.txt".b]
      assert_equal [locale != LATIN1, names, true, "cp437\n"], answers, what
      if locale == LATIN1
        expected = [["caf\xE9 \xE9t\xE9.txt".b, "utf-8\n"], ["na\xEFve.txt".b, "cp437\n"],
                    ["stale\x8B.txt".b, "stale\n"], ["\xE9t\xE9.txt".b, "latin-1\n"]]
      else
        expected = [["café été.txt".b, "utf-8\n"], ["naïve.txt".b, "cp437\n"], ["stale\x8B.txt".b, "stale\n"],
                    ["日本".b, :dir], ["日本/語.txt".b, "nihongo\n"], ["\xE9t\xE9.txt".b, "latin-1\n"]]
      end
      assert_equal expected.sort, byte_tree(out), what
      assert_equal "utf-8\n", File.binread(out + ".one"), what
    end
  end

  def test_trees_zipped_by_parvox_keep_their_true_names
    latin1_src = make_tree(path("latin1", "src"),
                           "\xE9t\xE9.txt".b => "summer\n",
                           "caf\xE9/na\xEFve.txt".b => "naive\n",
                           "plain/ascii.txt" => "ascii\n")
    LOCALES.each_key do |locale|
      src, names = if locale == LATIN1
                     [latin1_src, %w[src/été.txt src/café src/café/naïve.txt src/plain src/plain/ascii.txt]]
                   else
                     [@src, %w[src/été.txt src/plain src/plain/ascii.txt src/日本 src/日本/語.txt
                               src/日本/深い src/日本/深い/Жук.bin]]
                   end
      expected = (["src"] + names).sort
      archive = path("parvox-#{locale}.zip")
      out = path("back-#{locale}")
      answers = in_locale(locale, <<~RUBY, src, archive, out)
        src, archive, out = ARGV
        zip = Parvox.new(archive, "")
        added = zip.add_file(src, "src", true, true)
        zip.close
        [added, Parvox.load(archive, "").unzip_all(out)]
      RUBY
      what = "zipped under #{locale}"
      assert_equal [true, true], answers, "#{what}: add_file, then unzip_all"
      assert_equal byte_tree(src), byte_tree(File.join(out, "src")), "#{what}: round trip"

      unzip_names = tool!("unzip", "-l", archive).lines.map { |l| l.chomp[/\A\s*\d+\s+[\d-]+\s+[\d:]+\s+(.+)\z/, 1] }
      listings = {
        "unzip -l" => unzip_names.compact,
        "7z l" => tool!("7z", "l", "-slt", archive).split(/^-{10}$/, 2).last.scan(/^Path = (.*)$/).flatten,
        "bsdtar -t" => tool!("bsdtar", "-tf", archive).lines,
        "python zipfile" => tool!("python3", "-c", PY_FLAGS, archive).lines.map { |l| l.split(" ", 2).last },
      }
      listings.each do |tool, lines|
        assert_equal expected, names_without_slash(lines), "#{what}: names #{tool} shows"
      end
      flags = tool!("python3", "-c", PY_FLAGS, archive).lines.map { |l| l.chomp.split(" ", 2) }
      flags.each do |flagged, name|
        assert_equal name.ascii_only? ? "False" : "True", flagged, "#{what}: UTF-8 flag of #{name}"
      end
    end
  end

  # Names and passwords given to Parvox are UTF-8 in every locale; only paths
  # on disk take the locale's charset. 7z refuses to write a zip archive with
  # a non-ASCII password, so bsdtar makes them; 7z reading what Parvox wrote
  # shows the password's UTF-8 bytes are the key. A Latin-1 process also
  # opens what it keyed with the Latin-1 bytes before. Reading back, names
  # are looked up and listed as UTF-8; only unzip_all needs a name's form on
  # disk, and skips a name Latin-1 lacks.
  def test_names_and_passwords_given_are_utf8_in_every_locale
    make_tree(path("secret"), "data.txt" => "hidden\n")
    made = path("bsdtar-locked.zip")
    tool!("bsdtar", "--format", "zip", "--options", "zip:encryption=aes256", "--passphrase", PASSWORD,
          "-cf", made, "secret")
    tool!("7z", "x", "-y", "-p#{PASSWORD}", "-o#{path('by-7z')}", made)
    assert_equal "hidden\n", File.binread(path("by-7z", "secret", "data.txt"))
    made_in_latin1 = path("latin1-locked.zip")
    tool!("bsdtar", "--format", "zip", "--options", "zip:encryption=aes256", "--passphrase",
          PASSWORD.encode("ISO-8859-1").b, "-cf", made_in_latin1, "secret")
    key = "秘密鍵です"
    names = ["日本.txt", "中国.txt", "été.txt"]

    LOCALES.each_key do |locale|
      out = path("out-#{locale}")
      written = path("parvox-#{locale}.zip")
      answers = in_locale(locale, <<~RUBY, made, made_in_latin1, out, path("secret", "data.txt"), written)
        made, made_in_latin1, out, secret, written = ARGV
        opened = Parvox.load(made, "#{PASSWORD}").unzip_all(out)
        old = Parvox.load(made_in_latin1, "#{PASSWORD}").unzip_file("secret/data.txt", out + ".old")
        zip = Parvox.new(written, "#{key}")
        added = [opened, old, zip.add_file(secret, "#{names[0]}", false, false), zip.add_data("d", "#{names[1]}"),
                 zip.add_data("é", "#{names[2]}".encode("UTF-16LE")), zip.close]
        back = Parvox.load(written, "#{key}")
        [added, back.read("#{names[0]}"), back.read("#{names[2]}".encode("ISO-8859-1")),
         back.unzip_file("#{names[0]}", out + ".one"), back.entries.map(&:name),
         back.unzip_all(out + ".all"), back.last_error]
      RUBY
      what = "under #{locale}"
      added, *read_back = answers
      assert_equal [true, locale == LATIN1, true, true, true, nil], added, what
      all, reason = if locale == LATIN1
                      [false, "'#{names[0]}' has no form in the locale's character set; not extracted " \
                              "(the first of 2 failures)"]
                    else
                      [true, nil]
                    end
      assert_equal ["hidden\n", "é".b, true, names, all, reason], read_back, "#{what}: read back"
      assert_equal "hidden\n", File.binread(out + ".one"), "#{what}: unzip_file"
      on_disk = locale == LATIN1 ? ["\xE9t\xE9.txt".b] : names.map(&:b)
      assert_equal on_disk.sort, Dir.children(out + ".all").map(&:b).sort, "#{what}: unzip_all"
      assert_equal "hidden\n", File.binread(File.join(out, "secret", "data.txt")), what
      assert_equal names, entry_names(written), what
      tool!("7z", "x", "-y", "-p#{key}", "-o#{path("7z-#{locale}")}", written)
      assert_equal "hidden\n", File.binread(path("7z-#{locale}", names[0])), "7z reads #{what}"
    end
  end

  def test_a_name_without_a_form_in_the_locale_fails_its_entry_and_leaves_no_trace
    # A file whose name on disk is not UTF-8 (a Latin-1 é).
    bad_src = make_tree(path("bad", "src"), "ok.txt" => "ok\n", "caf\xE9.txt".b => "bad\n")
    # An archive whose first name is flagged as UTF-8 but is not.
    made = path("flagged.zip")
    tool!("python3", "-c", <<~PY, made)
      import sys, zipfile
      with zipfile.ZipFile(sys.argv[1], "w") as zf:
          zf.writestr("bad\\u00e9.txt", "bad")
          zf.writestr("good.txt", "good")
    PY
    File.binwrite(made, File.binread(made).gsub("bad\xC3\xA9".b, "bad\xFF\xFE".b))

    LOCALES.each_key do |locale|
      out = path("out-#{locale}")
      archive = path("parvox-#{locale}.zip")
      answers = in_locale(locale, <<~RUBY, made, out, bad_src, archive)
        made, out, src, archive = ARGV
        zip = Parvox.load(made, "")
        read = [zip.unzip_all(out), zip.unzip_file("good.txt", out + ".good")]
        # The Ruby string that names the file with the Latin-1 é on disk.
        bad = Encoding.find("locale") == Encoding::ISO_8859_1 ? "café.txt" : "caf\\xE9.txt"
        zip = Parvox.new(archive, "")
        written = [zip.add_file(src, "src", true, true), zip.add_file("\#{src}/\#{bad}", bad, false, false)]
        zip.close
        read + written
      RUBY
      what = "under #{locale}"
      assert_equal ["good.txt"], Dir.children(out), "#{what}: only the entry with a valid name"
      assert_equal "good", File.binread(out + ".good"), what
      names = entry_names(archive)
      if locale == LATIN1
        # Every byte is a Latin-1 character: the name is stored as UTF-8.
        assert_equal [false, true, true, true], answers, what
        assert_equal %w[café.txt src/ src/café.txt src/ok.txt], names.sort, what
      else
        # The folder is added without the file whose name cannot be stored, and
        # says so: a folder add with a file missing answers false.
        assert_equal [false, true, false, false], answers, what
        assert_equal %w[src/ src/ok.txt], names, "#{what}: no entry with a mangled name"
      end
    end
  end
end
