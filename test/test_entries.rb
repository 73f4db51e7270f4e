require "helper"

# Parvox#entries and #each_entry, and unzip_file by name once every name is
# known.
class EntriesTest < ParvoxTest
  def setup
    super
    linux_only "builds its archives with Python"
  end

  def extract(zip, name)
    target = path("x", name.tr("/\\", "__"))
    answer = zip.unzip_file(name, target)
    answer && File.exist?(target) ? File.read(target) : answer
  end

  def test_listing_and_lookup_by_name
    archive = python_zip([{ name: "one.txt", data: "1" }, { name: "Folder/" }, { name: "Folder/two.txt", data: "2" },
                          { name: "three.txt", data: "3" }, { name: "one.txt", data: "duplicate" }])
    zip = Parvox.load(archive, "")
    entries = zip.entries
    assert_equal ["one.txt", "Folder/", "Folder/two.txt", "three.txt", "one.txt"], entries.map(&:name)
    assert_equal [1, 0, 1, 1, 9], entries.map(&:size)
    assert_equal [false, true, false, false, false], entries.map(&:folder?)
    assert entries.none?(&:encrypted?)
    assert_kind_of Parvox::Entry, entries.first

    assert_equal "3", extract(zip, "three.txt")
    assert_equal "1", extract(zip, "one.txt"), "the first entry of a name, also behind the reader"
    assert_equal "2", extract(zip, "FOLDER\\TWO.TXT"), "any ASCII case, either separator"
    assert_equal true, extract(zip, "folder"), "a folder entry answers to its name without the '/'"
    assert_equal true, extract(zip, "Folder/")
    %w[nothing one Folder/two three.txt/ one.tx].each do |miss|
      assert_equal false, zip.unzip_file(miss, path("miss")), miss
      assert_equal "no entry named '#{miss}'", zip.last_error
    end
    refute File.exist?(path("miss"))
    assert_equal "3", extract(zip, "three.txt"), "after misses"
  end

  def test_callers_who_never_list_and_lookups_after_unzip_all
    archive = python_zip([{ name: "a", data: "A" }, { name: "b", data: "B" }, { name: "c", data: "C" }])
    zip = Parvox.load(archive, "")
    assert_equal "A", extract(zip, "a"), "the current entry first"
    assert_equal "C", extract(zip, "c")
    assert_equal "B", extract(zip, "b")
    zip.close
    zip = Parvox.load(archive, "")
    assert zip.unzip_all(path("all"))
    assert_equal "B", extract(zip, "b")
    refute zip.unzip_file("d", path("d"))
    assert_equal %w[a b c], zip.entries.map(&:name), "listing after extraction"
    assert_equal "A", extract(zip, "a")
  end

  def test_every_entry_of_a_larger_archive_in_any_order
    names = Array.new(1500) { |i| format("d%02d/f%04d.txt", i / 100, i) }
    archive = python_zip(names.map { |n| { name: n, data: "data of #{n}" } })
    zip = Parvox.load(archive, "")
    order = names.shuffle(random: Random.new(3)).first(150) + names.first(150) + names.last(100).reverse
    order.each { |name| assert_equal "data of #{name}", extract(zip, name), name }
    zip.close
  end

  def test_each_entry
    archive = python_zip([{ name: "a", data: "A" }, { name: "b/" }, { name: "b/c", data: "C" }])
    zip = Parvox.load(archive, "")
    seen = []
    assert_same zip, zip.each_entry { |e| seen << e.name }
    assert_equal ["a", "b/", "b/c"], seen
    enum = zip.each_entry
    assert_kind_of Enumerator, enum
    assert_equal "a", enum.next.name
    assert_equal "b/", enum.next.name
    assert_equal "a", zip.each_entry { |e| break e.name }, "break ends a listing"
    assert_equal 3, zip.entries.size, "and the next one starts again"
    zip.close
    assert_equal "b/c", enum.next.name, "a listing outlives the close of its archive"
    assert_nil zip.each_entry { flunk "a closed archive yields nothing" }
  end

  def test_empty_damaged_and_new_archives
    Parvox.new(path("empty.zip"), "").close
    assert_equal [], Parvox.load(path("empty.zip"), "").entries

    archive = python_zip([{ name: "first.txt", data: "first" }, { name: "second.txt", data: "second" },
                          { name: "third.txt", data: "third" }])
    bytes = File.binread(archive)
    local = bytes.index("PK\x03\x04".b, 4)
    bytes[local, 4] = "XXXX"
    File.binwrite(archive, bytes)
    zip = Parvox.load(archive, "")
    assert_equal %w[first.txt second.txt third.txt], zip.entries.map(&:name),
                 "a listing reads the central directory only"
    refute zip.unzip_file("second.txt", path("second.txt"))
    assert_equal "'second.txt' cannot be read: its local header is missing", zip.last_error
    assert_equal "third", zip.read("third.txt")

    bytes[local, 4] = "PK\x03\x04".b
    bytes[bytes.rindex("PK\x01\x02".b), 4] = "XXXX"
    File.binwrite(archive, bytes)
    zip = Parvox.load(archive, "")
    assert_nil zip.entries, "a damaged directory is no listing"
    assert_equal "'#{archive}' cannot be read: its central directory record 3 is damaged", zip.last_error
    assert_nil zip.each_entry { flunk "nothing is listed from a damaged directory" }

    writer = Parvox.new(path("w.zip"), "")
    assert_nil writer.entries
    assert_nil writer.each_entry { flunk "an archive being written yields nothing" }
    writer.close
  end

  def test_listing_and_extracting_on_one_object_at_once
    archive = python_zip([{ name: "a", data: "A" * 100 }, { name: "b/" }, { name: "b/c", data: "C" * 100 },
                          { name: "d", data: "D" }])
    zip = Parvox.load(archive, "")
    extracted = []
    zip.each_entry do |entry|
      next if entry.folder?
      assert zip.unzip_file(entry.name, path("x", entry.name)), "#{entry.name}: #{zip.last_error}"
      extracted << File.read(path("x", entry.name))
    end
    assert_equal ["A" * 100, "C" * 100, "D"], extracted

    # Inside its own progress block the object is busy: no listing, no reason yet.
    inside = nil
    assert(zip.unzip_file("a", path("again")) { inside ||= [zip.entries, zip.last_error] })
    assert_equal [nil, nil], inside
    assert_equal 4, zip.entries.size, "listing works again once the extraction is done"
    zip.close
  end

  # Method and encryption as a WinZip AES record tells them, also where its
  # field is damaged or missing, or its flags say it is not encrypted.
  def test_method_and_encryption_of_lying_aes_records
    aes = ->(strength) { [0x9901, 7, 2, "AE", strength, 8].pack("vvva2Cv") }
    { { flags: 1, extra: aes[3] } => [:deflated, :aes256], { flags: 1, extra: aes[7] } => [99, :aes],
      { flags: 1 } => [99, :aes], { flags: 0, extra: aes[3] } => [99, nil] }.each do |record, fields|
      ZipBytes.write(path("a.zip"), [{ name: "a", data: "x", central: record.merge(method: 99) }])
      assert_equal fields, Parvox.open(path("a.zip")) { |zip| [zip["a"].method, zip["a"].encryption] }, record.inspect
    end
  end

  # zipfile's view of an archive: its comment and each entry's fields. With
  # "write", it first writes one of its own, with comments and a link.
  ZIPFILE = <<~PY.freeze
    import json, sys, zipfile
    if sys.argv[2] == "write":
        with zipfile.ZipFile(sys.argv[1], "w") as zf:
            zf.comment = "archive comment, café".encode()
            for name, method in [("s", 0), ("d", 8), ("b", 12), ("l", 14), ("link", 0)]:
                info = zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0))
                info.compress_type, info.comment = method, f"{name}: é".encode() if method else b""
                info.external_attr = (0o120777 if name == "link" else 0o104755) << 16
                zf.writestr(info, b"target" if name == "link" else b"data " * 100)
    with zipfile.ZipFile(sys.argv[1]) as zf:
        print(json.dumps([zf.comment.decode(), [dict(
            name=i.filename, size=i.file_size, compressed_size=i.compress_size, crc32=i.CRC,
            method=i.compress_type, encrypted=bool(i.flag_bits & 1), comment=i.comment.decode() or None,
            mode=i.external_attr >> 16 & 0o7777 if i.create_system == 3 else None,
            symlink=i.create_system == 3 and i.external_attr >> 16 & 0o170000 == 0o120000,
        ) for i in zf.infolist()]]))
  PY

  # 7z's WinZip AES entries hold deflated data.
  METHODS = { 0 => :stored, 8 => :deflated, 12 => :bzip2, 14 => :lzma, 99 => :deflated }.freeze

  def test_fields_and_comments_agree_with_zipfile_for_every_writer
    File.write(path("f.txt"), "for zip and 7z " * 100)
    Parvox.new(path("parvox.zip"), "").tap { |zip| zip.add_data("parvox's own " * 100, "p.txt") }.close
    _, status = Open3.capture2e("zip", "-qj", "-z", path("zip.zip"), path("f.txt"), stdin_data: "zip's comment")
    assert status.success? && system("zip", "-qj", "-P", "pw", path("zipcrypto.zip"), path("f.txt"))
    assert system("7z", "a", "-tzip", "-mem=AES256", "-pPW", path("7z.zip"), path("f.txt"), out: File::NULL)
    %w[parvox zip zipcrypto 7z python].each do |name|
      view, err, status = Open3.capture3("python3", "-c", ZIPFILE, path("#{name}.zip"), name == "python" ? "write" : "")
      assert status.success?, err
      comment, infos = JSON.parse(view, symbolize_names: true)
      expected = infos.map do |info|
        encryption = info[:encrypted] ? (info[:method] == 99 ? :aes256 : :zipcrypto) : nil
        info.merge(method: METHODS.fetch(info[:method]), encryption: encryption)
      end
      zip = Parvox.load(path("#{name}.zip"), "")
      assert_equal comment, zip.comment, name
      assert_equal expected, zip.entries.map { |e| e.to_h.slice(*expected.first.keys) }, name
      assert_equal expected.map { |e| e[:symlink] }, zip.entries.map(&:symlink?)
    end
    assert_nil Parvox.new(path("w.zip"), "").tap(&:close).comment, "an archive being written has none"
  end
end
