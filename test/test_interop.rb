require "helper"
require "digest"
require "json"

# Archives written by Parvox must open in the common zip tools, and archives
# those tools write must extract byte-exact through Parvox.
class InteropTest < ParvoxTest
  PASSWORD = "open sesame 42"
  # As long as a block of PBKDF2's hash: the longest key HMAC takes as it is.
  PASSWORD_64 = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_"
  PYTHON = File.exist?("/usr/bin/python3") ? "/usr/bin/python3" : "python3"
  MIB = 1 << 20
  ENV_UTF8 = { "LC_ALL" => "C.UTF-8" }.freeze
  # Debian's own Ruby runs rubyzip, whichever Ruby runs the tests.
  RUBYZIP_ENV = ENV_UTF8.merge(%w[RUBYLIB RUBYOPT LD_LIBRARY_PATH GEM_HOME GEM_PATH].map { |k| [k, nil] }.to_h).freeze

  # Lists the archive's entry names, one a line, then extracts it to argv[2]
  # (when given).
  PY_READ = <<~PY.freeze
    import sys, zipfile
    with zipfile.ZipFile(sys.argv[1]) as zf:
        for name in zf.namelist():
            print(name)
        if len(sys.argv) > 2:
            zf.extractall(sys.argv[2])
  PY

  # Zips the tree in argv[3] (names relative to its parent folder) into
  # argv[1]; argv[2] picks the variant.
  PY_WRITE = <<~PY.freeze
    import os, sys, zipfile
    archive, variant, root = sys.argv[1], sys.argv[2], sys.argv[3]
    method = {"stored": zipfile.ZIP_STORED, "lzma": zipfile.ZIP_LZMA}.get(variant, zipfile.ZIP_DEFLATED)
    level = int(variant) if variant.isdigit() else None
    with open(archive, "wb") as out:
        if variant == "prefix":
            out.write(b"#!/bin/sh\\necho self-extractor stub\\nexit 0\\n" * 50)
        with zipfile.ZipFile(out, "w", method, compresslevel=level) as zf:
            base = os.path.dirname(root)
            for folder, subfolders, files in os.walk(root):
                for name in sorted(subfolders) + sorted(files):
                    full = os.path.join(folder, name)
                    zf.write(full, os.path.relpath(full, base))
            if variant == "comment":
                zf.comment = b"archive comment: not part of any entry"
  PY

  # rubyzip, run by Debian's own Ruby: lists the entries of ARGV[0], then
  # extracts them beneath ARGV[1] (when given).
  RUBYZIP_READ = <<~RUBY.freeze
    require "zip"
    Zip::File.open(ARGV[0]) do |zip|
      zip.each do |entry|
        puts entry.name
        next unless ARGV[1]
        target = File.join(ARGV[1], entry.name)
        FileUtils.mkdir_p(File.dirname(target))
        entry.extract(target)
      end
    end
  RUBY

  def setup
    super
    linux_only "the peers are Linux programs; script/windows checks archives across platforms with them"
    @src = make_tree(path("src"),
                     "empty.txt" => "",
                     "empty folder/" => nil,
                     "with space/café é.txt" => "bonjour\n",
                     "日本/語.txt" => "日本語\n" * 500,
                     "日本/深い/big.bin" => noise(4 * MIB + 12_345),
                     "exact.bin" => ("0123456789abcdef" * (MIB / 4)).tap { |s| s[100, 8] = "8 bytes!" })
    assert_equal 4 * MIB, File.size(path("src", "exact.bin"))
  end

  # Relative paths with a digest of each file's bytes (:dir for folders).
  def digests(root)
    tree_of(root).map { |rel, data| [rel, data == :dir ? :dir : Digest::SHA256.hexdigest(data)] }
  end

  # Entry names expected when @src is zipped under "src".
  def expected_names
    ["src"] + tree_of(@src).map { |rel, _| "src/#{rel}" }
  end

  def run!(tool, *cmd, chdir: @dir)
    env = tool == "rubyzip" ? RUBYZIP_ENV : ENV_UTF8
    out, err, status = Open3.capture3(env, *cmd, chdir: chdir, stdin_data: "", binmode: true)
    assert status.success?, "#{tool}: #{cmd.join(' ')} failed:\n#{err}#{out}"
    out.force_encoding("UTF-8")
  end

  def listed(lines)
    lines.map { |l| l.chomp.chomp("/") }.reject(&:empty?).sort
  end

  def seven_zip_names(listing)
    listing.split(/^-{10}$/, 2).last.scan(/^Path = (.*)$/).flatten
  end

  def test_parvox_archives_open_in_other_tools
    plain = zip_folder(@src, "src", archive: path("plain.zip"))
    locked = zip_folder(@src, "src", password: PASSWORD, archive: path("locked.zip"))
    locked_64 = zip_folder(@src, "src", password: PASSWORD_64, archive: path("locked64.zip"))
    pw = "-p#{PASSWORD}"
    readers = [
      ["unzip", plain, ->(a) { listed(run!("unzip", "unzip", "-Z1", a).lines) },
       ->(a, out) { run!("unzip", "unzip", "-q", a, "-d", out) }],
      ["7z", plain, ->(a) { listed(seven_zip_names(run!("7z", "7z", "l", "-slt", a))) },
       ->(a, out) { run!("7z", "7z", "x", "-y", "-o#{out}", a) }],
      ["7z with password", locked, ->(a) { listed(seven_zip_names(run!("7z", "7z", "l", "-slt", pw, a))) },
       ->(a, out) { run!("7z", "7z", "x", "-y", pw, "-o#{out}", a) }],
      ["7z, a password of 64 bytes", locked_64,
       ->(a) { listed(seven_zip_names(run!("7z", "7z", "l", "-slt", "-p#{PASSWORD_64}", a))) },
       ->(a, out) { run!("7z", "7z", "x", "-y", "-p#{PASSWORD_64}", "-o#{out}", a) }],
      ["bsdtar", plain, ->(a) { listed(run!("bsdtar", "bsdtar", "-tf", a).lines) },
       ->(a, out) { run!("bsdtar", "bsdtar", "-xf", a, "-C", out) }],
      ["bsdtar with password", locked,
       ->(a) { listed(run!("bsdtar", "bsdtar", "-tf", a, "--passphrase", PASSWORD).lines) },
       ->(a, out) { run!("bsdtar", "bsdtar", "-xf", a, "-C", out, "--passphrase", PASSWORD) }],
      ["python zipfile", plain, ->(a) { listed(run!("python", PYTHON, "-c", PY_READ, a).lines) },
       ->(a, out) { run!("python", PYTHON, "-c", PY_READ, a, out) }],
      ["rubyzip", plain, ->(a) { listed(run!("rubyzip", "/usr/bin/ruby", "-e", RUBYZIP_READ, a).lines) },
       ->(a, out) { run!("rubyzip", "/usr/bin/ruby", "-e", RUBYZIP_READ, a, out) }],
    ]
    expected = digests(@src)
    readers.each_with_index do |(tool, archive, list, extract), i|
      assert_equal expected_names.sort, list.call(archive), "#{tool} lists the entries"
      out = path("out#{i}")
      FileUtils.mkdir_p(out)
      extract.call(archive, out)
      assert_equal expected, digests(File.join(out, "src")), "#{tool} extracts the tree byte-exact"
    end

    _, _, status = Open3.capture3(ENV_UTF8, "7z", "t", "-pnot the password", locked, stdin_data: "")
    refute status.success?, "7z t accepts a wrong password"
  end

  # `size` bytes of numbered lines of words: text that deflates well and quickly.
  def compressible_text(size)
    words = %w[alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike]
    (0..size / 20).map { |i| format("item %07d %s\n", i, [1, 3, 5, 7].map { |k| words[(i * k + k) % 13] }.join(" ")) }.join[0, size]
  end

  # Entries one byte either side of each size where reading changes its way
  # (a 128 KiB piece of a large entry, the 4 MiB bound of entries decoded
  # whole, the first piece past it), written by every tool, come back
  # byte-exact through read, unzip_file and unzip_all on one thread and two.
  def test_entries_around_the_reading_bounds_come_back_from_every_writer
    sizes = [128 << 10, 4 * MIB, 4 * MIB + (128 << 10)].flat_map { |size| [size - 1, size, size + 1] }
    text = compressible_text(sizes.max)
    files = sizes.to_h { |size| ["#{size}.txt", text[0, size]] }
    make_tree(path("b"), files)
    writers = {
      "zip" => ->(a) { run!("zip", "zip", "-q", "-r", a, "b") },
      "7z" => ->(a) { run!("7z", "7z", "a", "-tzip", a, "b") },
      "bsdtar" => ->(a) { run!("bsdtar", "bsdtar", "--format", "zip", "-cf", a, "b") },
      "parvox" => ->(a) { zip_folder(path("b"), "b", archive: a) },
    }
    %w[1 6 9].each { |level| writers["python level #{level}"] = ->(a) { run!("python", PYTHON, "-c", PY_WRITE, a, level, path("b")) } }
    writers.each_with_index do |(tool, write), i|
      archive = path("bounds#{i}.zip")
      write.call(archive)
      %w[1 2].each do |threads|
        ENV["PARVOX_THREADS"] = threads
        zip = Parvox.load(archive, "")
        out = path("bounds#{i}-#{threads}")
        assert zip.unzip_all(out), "#{tool}, #{threads} threads: unzip_all: #{zip.last_error}"
        files.each do |name, data|
          what = "#{tool}, #{threads} threads, #{name}"
          assert data == File.binread(File.join(out, "b", name)), "#{what}: unzip_all"
          assert data == zip.read("b/#{name}"), "#{what}: read: #{zip.last_error}"
          assert zip.unzip_file("b/#{name}", path("one.txt")), "#{what}: unzip_file: #{zip.last_error}"
          assert data == File.binread(path("one.txt")), "#{what}: unzip_file"
        end
        zip.close
        FileUtils.rm_rf(out)
      ensure
        ENV.delete("PARVOX_THREADS")
      end
    end
  end

  # [tool, password, maker] for archives of @src written by each tool.
  def makers
    pw = "-p#{PASSWORD}"
    [
      ["zip -r (deflated)", "", ->(a) { run!("zip", "zip", "-q", "-r", a, "src") }],
      ["zip -r -0 (stored)", "", ->(a) { run!("zip", "zip", "-q", "-r", "-0", a, "src") }],
      # Written to a pipe: sizes and CRCs follow each entry's data.
      ["zip to a pipe", "", ->(a) { run!("zip", "sh", "-c", 'zip -q -r - src | cat > "$0"', a) }],
      ["7z AES-256", PASSWORD, ->(a) { run!("7z", "7z", "a", "-tzip", "-mem=AES256", pw, a, "src") }],
      ["7z AES-256, a password of 64 bytes", PASSWORD_64,
       ->(a) { run!("7z", "7z", "a", "-tzip", "-mem=AES256", "-p#{PASSWORD_64}", a, "src") }],
      ["7z AES-128", PASSWORD, ->(a) { run!("7z", "7z", "a", "-tzip", "-mem=AES128", pw, a, "src") }],
      # Methods and encryption our own decoder leaves to libarchive.
      ["7z ZipCrypto", PASSWORD, ->(a) { run!("7z", "7z", "a", "-tzip", "-mem=ZipCrypto", pw, a, "src") }],
      ["7z LZMA", "", ->(a) { run!("7z", "7z", "a", "-tzip", "-mm=LZMA", a, "src") }],
      ["zip bzip2", "", ->(a) { run!("zip", "zip", "-q", "-r", "-Z", "bzip2", a, "src") }],
      ["bsdtar", "", ->(a) { run!("bsdtar", "bsdtar", "--format", "zip", "-cf", a, "src") }],
      ["bsdtar AES-256", PASSWORD, lambda { |a|
        run!("bsdtar", "bsdtar", "--format", "zip", "--options", "zip:encryption=aes256",
             "--passphrase", PASSWORD, "-cf", a, "src")
      }],
      ["python stored", "", ->(a) { run!("python", PYTHON, "-c", PY_WRITE, a, "stored", @src) }],
      ["python deflated", "", ->(a) { run!("python", PYTHON, "-c", PY_WRITE, a, "deflated", @src) }],
      # Its empty files too are LZMA streams, which end before any data.
      ["python LZMA", "", ->(a) { run!("python", PYTHON, "-c", PY_WRITE, a, "lzma", @src) }],
      ["python, bytes before the first entry", "",
       ->(a) { run!("python", PYTHON, "-c", PY_WRITE, a, "prefix", @src) }],
      ["python, archive comment", "", ->(a) { run!("python", PYTHON, "-c", PY_WRITE, a, "comment", @src) }],
      ["parvox", "", ->(a) { zip_folder(@src, "src", archive: a) }],
      ["parvox with password", PASSWORD, ->(a) { zip_folder(@src, "src", password: PASSWORD, archive: a) }],
    ]
  end

  def test_unzip_all_reads_archives_of_other_tools
    expected = digests(@src)
    makers.each_with_index do |(tool, password, make), i|
      archive = path("made#{i}.zip")
      make.call(archive)
      %w[1 2 8].each do |threads|
        ENV["PARVOX_THREADS"] = threads
        zip = Parvox.load(archive, password)
        refute_nil zip, "#{tool}: load"
        out = path("out#{i}-#{threads}")
        assert zip.unzip_all(out), "#{tool}, #{threads} threads: unzip_all: #{zip.last_error}"
        zip.close
        assert_equal ["src"], Dir.children(out), "#{tool}, #{threads} threads: only the archived tree"
        assert_equal expected, digests(File.join(out, "src")), "#{tool}, #{threads} threads: tree byte-exact"
      ensure
        ENV.delete("PARVOX_THREADS")
      end
    end
  end

  # What zipfile says of each entry: its name (as stored: UTF-8 when flagged,
  # else the raw bytes), size, whether it is a folder, whether it is encrypted.
  PY_INFO = <<~PY.freeze
    import json, sys, zipfile
    out = []
    for i in zipfile.ZipFile(sys.argv[1]).infolist():
        raw = i.filename.encode("utf-8" if i.flag_bits & 0x800 else "cp437")
        out.append([raw.decode("utf-8"), i.file_size, i.is_dir(), bool(i.flag_bits & 1)])
    print(json.dumps(out))
  PY

  def test_entries_are_listed_as_zipfile_reports_them
    makers.each_with_index do |(tool, password, make), i|
      archive = path("made#{i}.zip")
      make.call(archive)
      expected = JSON.parse(run!("python", PYTHON, "-c", PY_INFO, archive))
      zip = Parvox.load(archive, "")
      entries = zip.entries
      assert_equal expected, entries.map { |e| [e.name, e.size, e.folder?, e.encrypted?] }, "#{tool}: entries"
      assert entries.all? { |e| e.name.encoding == Encoding::UTF_8 && e.name.valid_encoding? }, tool
      assert_equal entries, zip.each_entry.to_a, "#{tool}: each_entry"
      zip.close

      # Every entry by its listed name, in archive order, with the password.
      zip = Parvox.load(archive, password)
      zip.entries.reject(&:folder?).each_with_index do |entry, n|
        target = path("one#{i}", n.to_s)
        assert zip.unzip_file(entry.name, target), "#{tool}: #{entry.name}: #{zip.last_error}"
        assert_equal File.binread(File.join(@src, entry.name.delete_prefix("src/"))), File.binread(target),
                     "#{tool}: #{entry.name}"
      end

      # Read into memory in archive order and backwards: the same bytes.
      files = zip.entries.reject(&:folder?)
      [files, files.reverse].each do |order|
        order.each do |entry|
          assert_equal File.binread(File.join(@src, entry.name.delete_prefix("src/"))), zip.read(entry.name),
                       "#{tool}: read #{entry.name}: #{zip.last_error}"
        end
      end
      assert_equal "", zip.read("src/empty folder"), "#{tool}: a folder reads as nothing"
      zip.close
    end
  end
end
