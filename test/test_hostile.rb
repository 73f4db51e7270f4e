require "helper"
require "json"

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
    refute File.executable?(link), "the link's mode (0777) made the file executable" unless WINDOWS
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

  # A file beneath the target with another name outside it (a hard link)
  # is replaced by the entry's file, never written through, whether the
  # entry's data is whole or damaged.
  def test_hard_links_beneath_the_target_are_replaced_not_written
    data = "line of text that deflates well\n" * 2000
    { "whole" => true, "damaged" => false }.each do |label, answer|
      FileUtils.mkdir_p(@out)
      File.link(path("work", "secret.txt"), File.join(@out, "linked.txt"))
      archive = make_zip([{ name: "linked.txt", data: data }], path("#{label}.zip"))
      ZipBytes.damage_first_entry(archive) unless answer
      assert_contained(label) { assert_equal answer, unzip_all_answer(archive), label }
      assert_equal data, File.read(File.join(@out, "linked.txt")), label if answer
      FileUtils.rm_rf(@out)
    end
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

  # Entries past the 4 MiB whole-entry bound are inflated in pieces (by ISA-L
  # where the build has it), another entry right behind each: stored blocks
  # and longest matches cross the pieces; a stream without its final block, a
  # reserved block type and a wrong CRC are refused with their reasons by
  # read and by unzip_all on 1 and 2 threads.
  def test_large_deflated_entries_are_checked_in_pieces
    data = (noise(150_000) + noise(1000, 2) * 300) * 14
    flushed = ->(part) { Zlib::Deflate.new(6, -Zlib::MAX_WBITS).deflate(part, Zlib::SYNC_FLUSH) }
    wrong_crc = Zlib.crc32(data) ^ 1
    { "stored blocks and longest matches" => [{}, nil],
      "a stream without its final block" => [{ body: flushed.(data) }, "broken compressed data"],
      "a reserved block type after 4.5 MiB" => [{ body: "#{flushed.(data[0, 9 << 19])}\x07junk".b }, "broken compressed data"],
      "a wrong CRC" => [{ local: { crc: wrong_crc }, central: { crc: wrong_crc } }, "CRC mismatch"] }.each do |what, (change, reason)|
      archive = ZipBytes.write(path("large.zip"), [{ name: "a.bin", data: data }.merge(change), { name: "z.txt", data: "z" }])
      %w[1 2].each do |threads|
        ENV["PARVOX_THREADS"] = threads
        zip = Parvox.load(archive, "")
        read = zip.read("a.bin")
        assert reason ? read.nil? : read == data, "#{what}: read answered #{read&.bytesize.inspect} bytes"
        FileUtils.rm_rf(@out)
        assert_equal reason.nil?, zip.unzip_all(@out), "#{what}, #{threads} threads"
        assert_answer ("'a.bin': data damaged (#{reason})" if reason), zip.last_error, what
        assert_equal reason.nil?, tree_of(@out).to_h["a.bin"] == data, "#{what}, #{threads} threads"
        zip.close
      ensure
        ENV.delete("PARVOX_THREADS")
      end
    end
  end

  def test_a_broken_later_entry_header_is_a_failure
    archive = make_zip([{ name: "first.txt", data: "first" }, { name: "second.txt", data: "second" }])
    bytes = File.binread(archive)
    bytes[bytes.index("PK\x03\x04".b, 4), 4] = "XXXX"
    File.binwrite(archive, bytes)
    refute_equal true, unzip_all_answer(archive), "a damaged archive answered true"
  end

  # Damage found as an entry is opened stops unzip_all there, as damage
  # found in its data does: the entries after it are not extracted.
  def test_damage_found_at_opening_stops_unzip_all
    aes = [0x9901, 7, 2, "AE", 3, 8].pack("vvva2Cv")
    cut = { name: "cut.bin", body: "0123456789", extra: aes, local: { flags: 1, method: 99 },
            central: { flags: 1, method: 99 } }
    archive = make_zip([{ name: "a.txt", data: "a" }, cut, { name: "z.txt", data: "z" }])
    zip = Parvox.load(archive, "pw")
    refute zip.unzip_all(@out)
    assert_equal "'cut.bin': data damaged (its encryption header is cut short)", zip.last_error
    assert_equal [["a.txt", "a"]], tree_of(@out), "went on past the damaged entry"
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
      "a ZIP64 locator leading nowhere" => [->(b) { b.insert(end_record.(b), ["PK\x06\x07", 0, 0, 1].pack("a4VQ<V"))
                                                   b[end_record.(b) + 16, 4] = [0xFFFFFFFF].pack("V") },
                                            "its ZIP64 locator leads to no ZIP64 end record", :load],
      "a record running 1 byte past the directory" => [->(b) { b[b.rindex("PK\x01\x02".b) + 32, 2] = [1].pack("v") },
                                                       "its central directory record 2 runs past the directory's end"],
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

  DATA = "crafted entry data\n" * 20

  # Archives whose headers, names or sizes lie, crafted byte by byte. Each row:
  # the entries, the password, the entry read, what read answers (nil:
  # refused, with `reason`), what unzip_all answers and leaves beneath the
  # target (and its reason), and what Python's zipfile reads for the entry
  # (:error when it raises), as a peer. unzip_file answers as read does and
  # leaves a file only with the right data; the output never passes the
  # entry's declared size; nothing outside the target changes.
  def crafted_rows
    crc = Zlib.crc32(DATA)
    # An AES-256 entry as Parvox writes it, its data and local extra field
    # replaced by the block's.
    aes_entry = lambda do |data, &edit|
      writer = Parvox.new(path("aes.zip"), "right")
      writer.add_data(data, "a.txt")
      writer.close
      aes = ZipBytes.first_local_entry(path("aes.zip"))
      body, local_extra = edit.call(aes[:body], aes[:extra])
      { name: "a.txt", data: data, body: body, local: { flags: aes[:flags], method: 99, crc: aes[:crc], extra: local_extra },
        central: { flags: aes[:flags], method: 99, crc: aes[:crc], extra: aes[:extra] } }
    end
    big = noise(600_000)
    crypt_header = (noise(11, 5) + (crc >> 24).chr).b
    sealed = ZipBytes.zipcrypto(crypt_header, "right")
    wrong = (0..).lazy.map { |i| "wrong#{i}" }.find { |pw| ZipBytes.zipcrypto(sealed, pw, decrypt: true)[11] == crypt_header[11] }
    # With a data descriptor the check byte is the high byte of the time, 0 here.
    crypted = ->(header, descriptor) {
      flags = 1 | (descriptor ? ZipBytes::DESCRIPTOR_FLAG : 0)
      { name: "z.txt", data: DATA, stored: true, body: ZipBytes.zipcrypto(header + DATA, "right"), descriptor: descriptor,
        local: { flags: flags }.merge(descriptor ? { crc: 0, compressed: 0, size: 0 } : {}), central: { flags: flags } }
    }
    good = { name: "good.txt", data: "good" }
    no_nul = "the name of entry 2 holds a NUL byte; not extracted"
    {
      "a NUL byte in a stored name" =>
        { entries: [good, { name: "readme.txt\0/..\0/..\0/escaped.txt", data: "pwned" },
                    { name: "d\0/..\0/..\0/NEWDIR/", data: "" }],
          read: "readme.txt", data: nil, reason: "no entry named 'readme.txt'",
          all: [false, { "good.txt" => "good" }, "#{no_nul} (the first of 2 failures)"], zipfile: "pwned" },
      "a NUL byte in a Unicode Path name" =>
        { entries: [good, { name: "innocent.txt", data: "pwned",
                            central: { extra: ZipBytes.unicode_path_field("innocent.txt", "x\0/..\0/..\0/escaped.txt") } }],
          read: "innocent.txt", data: nil, reason: "no entry named 'innocent.txt'",
          all: [false, { "good.txt" => "good" }, no_nul], zipfile: "pwned" },
      "a local header saying stored, the directory deflated" =>
        { entries: [{ name: "a.txt", data: DATA, local: { method: 0 } }],
          reason: "'a.txt' cannot be read: its local header disagrees with the central directory (method)", zipfile: DATA },
      "an encryption flag in the local header only" =>
        { entries: [{ name: "a.txt", data: DATA, local: { flags: 1 } }],
          reason: "'a.txt' cannot be read: its local header disagrees with the central directory (encryption)", zipfile: DATA },
      "a right data descriptor, a wrong CRC in the directory" =>
        { entries: [{ name: "a.txt", data: DATA, descriptor: :signed, central: { crc: crc ^ 1 } }],
          reason: "'a.txt' cannot be read: its data descriptor disagrees with the central directory", zipfile: :error },
      "a data descriptor flagged in the local header only" =>
        { entries: [{ name: "a.txt", data: DATA, descriptor: :signed }], data: DATA, zipfile: DATA },
      "a stored entry with a data descriptor without signature" =>
        { entries: [{ name: "a.txt", data: DATA, stored: true, descriptor: :unsigned }], data: DATA, zipfile: DATA },
      "a link-typed local header over a wrong CRC" =>
        { entries: [{ name: "a.txt", data: DATA, local: { crc: crc ^ 1, extra: ZipBytes.link_mode_field }, central: { crc: crc ^ 1 } }],
          reason: "'a.txt': data damaged (CRC mismatch)", zipfile: :error },
      "a link-typed local header over AES-256 data" =>
        { entries: [aes_entry.call(DATA) { |body, extra| [body, extra + ZipBytes.link_mode_field] }],
          password: "right", data: DATA, zipfile: :error },
      "an AES-256 entry of several chunks failing authentication" =>
        { entries: [aes_entry.call(big) { |body, extra| [body[0...-1] + (body[-1].ord ^ 1).chr, extra] }], password: "right",
          reason: "'a.txt': data damaged (authentication code mismatch)", zipfile: :error },
      "a declared size of 10 bytes over 30 MiB" =>
        { entries: [{ name: "a.txt", data: "\0" * (30 << 20), local: { size: 10 }, central: { size: 10 } }],
          reason: "'a.txt': data damaged (more data than its declared size)", zipfile: :error },
      # Its declared bytes are a block of their own: they fill a buffer of
      # exactly the declared size, and are right.
      "a deflate stream running past its declared size, with the CRC of the bytes declared" =>
        { entries: [{ name: "a.txt", data: DATA, body: stored_block_header(100) + DATA[0, 100] + ZipBytes.deflate(DATA[100..]),
                      local: { size: 100, crc: Zlib.crc32(DATA[0, 100]) }, central: { size: 100, crc: Zlib.crc32(DATA[0, 100]) } }],
          reason: "'a.txt': data damaged (more data than its declared size)", zipfile: DATA[0, 100] },
      "a Unix folder mode on an entry with data" =>
        { entries: [{ name: "a.txt", data: DATA, central: { attributes: 0o40755 << 16 } }], data: DATA, zipfile: DATA },
      "a DOS folder attribute on an entry with data" =>
        { entries: [{ name: "a.txt", data: DATA, central: { made_by: 20, attributes: 0x10 } }], data: DATA, zipfile: DATA },
      "bytes after the end of the deflate stream" =>
        { entries: [{ name: "a.txt", data: DATA, body: ZipBytes.deflate(DATA) + "trailing" }], data: DATA, zipfile: DATA },
      "a locator signature in the last record's comment" =>
        { entries: [{ name: "a.txt", data: DATA, central: { comment: "PK\x06\x07".b + "\0".b * 16 } }], data: DATA, zipfile: DATA },
      "an entry named ." =>
        { entries: [{ name: ".", data: DATA }], read: ".", data: DATA,
          all: [false, {}, "'.' names the target folder itself; not extracted"], zipfile: DATA },
      "ZipCrypto, the right password, a data descriptor" =>
        { entries: [crypted.(noise(11, 5) + "\0", :signed)], password: "right", read: "z.txt", data: DATA, zipfile: DATA },
      "ZipCrypto, a wrong password passing the check byte" =>
        { entries: [crypted.(crypt_header, nil)], password: wrong, read: "z.txt", reason: "wrong password for 'z.txt'", zipfile: :error },
    }
  end

  def assert_answer(expected, actual, what)
    expected.nil? ? assert_nil(actual, what) : assert_equal(expected, actual, what)
  end

  # What zipfile reads for each [archive, password, name]: the data, or nil.
  PY_READ = <<~PY.freeze
    import base64, json, sys, zipfile
    answers = []
    for archive, password, name in json.load(sys.stdin):
        try:
            with zipfile.ZipFile(archive) as z:
                answers.append(base64.b64encode(z.read(name, pwd=password.encode() or None)).decode())
        except Exception:
            answers.append(None)
    print(json.dumps(answers))
  PY

  def test_crafted_archives_are_read_as_their_central_directory_says
    cases = crafted_rows.each_with_index.map do |(what, row), i|
      [what, row.merge(archive: ZipBytes.write(path("c#{i}.zip"), row[:entries]))]
    end
    cases.each do |what, row|
      name = row.fetch(:read, row[:entries].last[:name])
      declared = row[:entries].find { |e| e[:name] == name }&.dig(:central, :size) || row[:entries].last[:data].bytesize
      answer, files, all_reason = row.fetch(:all) { row[:data] ? [true, { name => row[:data] }, nil] : [false, {}, row[:reason]] }
      zip = Parvox.load(row[:archive], row.fetch(:password, ""))
      refute_nil zip, "#{what}: #{Parvox.last_error}"
      assert_contained(what) do
        assert_answer row[:data], zip.read(name), what
        assert_answer row[:reason], zip.last_error, what
        yielded = 0
        zip.read(name) { |chunk| yielded += chunk.bytesize }
        assert_operator yielded, :<=, declared, "#{what}: read past the declared size"
        target = path("one", "t.txt")
        assert_equal !row[:data].nil?, zip.unzip_file(name, target), what
        assert_answer row[:data], (File.binread(target) if File.exist?(target)), "#{what}: unzip_file left that"
        FileUtils.rm_rf([@out, path("one")])
        assert_equal answer, zip.unzip_all(@out), what
        assert_answer all_reason, zip.last_error, what
        assert_equal files, tree_of(@out).to_h, "#{what}: unzip_all left that"
      end
      zip.close
    end
    FileUtils.rm_rf(@out)
    zip = Parvox.load(cases.first[1][:archive], "")
    assert_nil zip.read("good.txt\0/../x")
    assert_equal "the entry name holds a NUL byte", zip.last_error
    refute zip.unzip_file("good.txt", path("t") + "\0/x"), "a target path holding NUL"
    refute zip.unzip_all("#{@out}\0/x"), "a target folder holding NUL"
    assert_equal "the target path holds a NUL byte", zip.last_error
    refute File.exist?(path("t")) || File.exist?(@out)
    return if WINDOWS # the peers are Linux programs

    requests = cases.map { |_, row| [row[:archive], row.fetch(:password, ""), row.fetch(:read, row[:entries].last[:name])] }
    out, err, status = Open3.capture3("python3", "-c", PY_READ, stdin_data: JSON.generate(requests))
    assert status.success?, err
    JSON.parse(out).zip(cases) do |read, (what, row)|
      expected = row[:zipfile] == :error ? nil : row[:zipfile]
      assert_answer expected, read&.unpack1("m"), "#{what}: zipfile"
    end
  end

  # A FIFO where an archive or a target should be: every call answers at once
  # (in a child with a deadline, so a hang fails the test), and the FIFO stays.
  def test_fifos_are_refused_without_blocking
    linux_only "FIFOs"
    archive = make_zip([{ name: "g.txt", data: "good" }, { name: "f.txt", data: "data" }])
    fifo = path("fifo")
    File.mkfifo(fifo)
    FileUtils.mkdir_p(@out)
    File.mkfifo(File.join(@out, "f.txt"))
    out, status = ruby_child(<<~RUBY, fifo, archive, @out, deadline: 30)
      fifo, archive, out = ARGV
      p [Parvox.load(fifo, ""), Parvox.last_error]
      p [Parvox.new(fifo, ""), Parvox.last_error]
      zip = Parvox.load(archive, "")
      p [zip.unzip_file("f.txt", fifo), zip.last_error]
      p [zip.unzip_all(out), zip.last_error]
    RUBY
    assert status.success?, out
    not_regular = ->(file) { "'#{file}': Not a regular file" }
    assert_equal [[nil, not_regular.(fifo)], [nil, not_regular.(fifo)], [false, not_regular.(fifo)],
                  [false, not_regular.(File.join(@out, "f.txt"))]].map { |answer| "#{answer.inspect}\n" }, out.lines
    assert File.pipe?(fifo) && File.pipe?(File.join(@out, "f.txt")), "a FIFO was replaced"
    assert_equal "good", File.read(File.join(@out, "g.txt"))
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

  # A name holding NUL is refused, given to add or looked up, and so is a
  # target holding one; add_file's source and the archive's path end at
  # their first NUL.
  def test_names_end_at_a_nul
    File.write(path("f.txt"), "data")
    zip = Parvox.new(path("n.zip"), "")
    refute zip.add_file(path("f.txt"), "a\0b", false, false)
    refute zip.add_file(path("f.txt") + "\0ignored", "b", false, false), "a source path holding NUL"
    assert_equal "the source path holds a NUL byte", zip.last_error
    assert zip.add_file(path("f.txt"), "a", false, false)
    zip.close
    [-> { Parvox.new(path("m.zip") + "\0ignored", "") }, -> { Parvox.load(path("n.zip") + "\0x", "") }].each do |call|
      assert_nil call.call, "an archive path holding NUL"
      assert_equal "the archive path holds a NUL byte", Parvox.last_error
    end
    refute File.exist?(path("m.zip"))
    assert_equal ["a"], entry_names(path("n.zip"))
    zip = Parvox.load(path("n.zip"), "")
    refute zip.unzip_file("a\0whatever", path("x")), "a name holding NUL names no entry"
    refute zip.unzip_all(path("all") + "\0y"), "a target folder holding NUL"
    assert zip.unzip_all(path("all"))
    assert_equal [["a", "data"]], tree_of(path("all"))
  end

  def test_non_string_arguments_raise
    File.write(path("f.txt"), "data")
    zip = Parvox.new(path("a.zip"), "")
    [
      -> { Parvox.new(1, "") }, -> { Parvox.new(path("b.zip"), :pw) },
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
