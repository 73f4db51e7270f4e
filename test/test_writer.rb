require_relative "helper"

# The zip writer's own promises: entries of every size class it treats apart
# open everywhere, the bytes do not depend on the number of threads, a stop
# leaves only whole entries, and very large files get ZIP64 sizes.
class TestWriter < ParvoxTest
  MIB = 1 << 20
  # Compressed whole up to 4 MiB, in chunks of 1 MiB beyond; libdeflate from
  # 32 bytes on.
  SIZES = { "empty" => 0, "one" => 1, "31" => 31, "32" => 32, "bound" => 4 * MIB,
            "bound+1" => 4 * MIB + 1, "chunks" => 6 * MIB, "chunks+1" => 6 * MIB + 1 }.freeze

  def boundary_tree
    files = SIZES.to_h { |name, size| ["b/#{name}.txt", ("line of text #{size}\n" * (size / 10 + 1))[0, size]] }
    files["b/noise.bin"] = noise(5 * MIB)
    make_tree(path("src"), files)
  end

  PY_CHECK = <<~PY.freeze
    import sys, zipfile, zlib
    z = zipfile.ZipFile(sys.argv[1])
    for i in z.infolist():
        if i.filename.endswith("/"): continue
        data = z.read(i, pwd=None)
        assert zlib.crc32(data) == i.CRC and len(data) == i.file_size, i.filename
        print(i.filename, i.file_size, i.compress_size, i.header_offset)
  PY

  def test_every_size_class_opens_in_other_tools_with_and_without_a_password
    linux_only "runs unzip, 7z, bsdtar and python"
    boundary_tree
    plain = zip_folder(path("src"), "s", archive: path("plain.zip"))
    locked = zip_folder(path("src"), "s", archive: path("locked.zip"), password: "pw")
    out, status = Open3.capture2e("unzip", "-tq", plain)
    assert status.success?, out
    out, status = Open3.capture2e("python3", "-c", PY_CHECK, plain)
    assert status.success?, out
    assert_equal SIZES.size + 1, out.lines.size
    out, status = Open3.capture2e("7z", "t", "-ppw", locked)
    assert status.success?, out
    out, status = Open3.capture2e("bsdtar", "-xf", locked, "--passphrase", "pw", "-C", path("."))
    assert status.success?, out
    assert_equal tree_of(path("src")), tree_of(path("s"))
  end

  # Data deflate cannot shrink (noise, whole and in chunks, the tiniest and
  # empty files, add_data's) is stored as it is, beside deflated text; inside
  # WinZip AES too. The archives open in other tools.
  def test_data_deflate_cannot_shrink_is_stored_beside_deflated_text
    linux_only "runs unzip, 7z and python"
    stored = { "noise.bin" => noise(100_000), "chunks of noise.bin" => noise(6 * MIB + 1, 2), "x" => "x", "empty" => "" }
    deflated = { "text.txt" => "line of text\n" * 10_000, "chunks of text.txt" => "more text\n" * (MIB / 2) }
    make_tree(path("src"), stored.merge(deflated))
    ["", "pw"].each do |password|
      archive = path("#{password.size}.zip")
      zip = Parvox.new(archive, password)
      assert zip.add_file(path("src"), "s", true, true)
      assert zip.add_data(noise(70_000, 3), "s/data.bin")
      zip.close
      ZipBytes.entries(archive).each do |entry|
        name = entry[:name].delete_prefix("s/")
        next if name.end_with?("/")
        framing = password.empty? || entry[:size].zero? ? 0 : 28  # salt, verifier, authentication code
        if deflated.key?(name)
          assert_equal 8, entry[:data_method], "#{name}: deflated"
          assert_operator entry[:compressed], :<, entry[:size] / 2, name
        else
          assert_equal 0, entry[:data_method], "#{name}: stored (password #{password.inspect})"
          assert_equal entry[:size] + framing, entry[:compressed], name
        end
      end
      out, status = Open3.capture2e("7z", "t", "-p#{password}", archive)
      assert status.success?, out
      out, status = Open3.capture2e("python3", "-c", PY_CHECK, archive) if password.empty?
      assert status.success?, out
      out, status = Open3.capture2e("unzip", "-tq", archive) if password.empty?
      assert status.success?, out
    end
  end

  def test_the_bytes_are_the_same_whatever_the_number_of_threads
    boundary_tree
    archives = %w[1 2 8].map do |threads|
      ENV["PARVOX_THREADS"] = threads
      File.binread(zip_folder(path("src"), "s", archive: path("#{threads}.zip")))
    ensure
      ENV.delete("PARVOX_THREADS")
    end
    assert_equal 1, archives.uniq.size
  end

  # Stops at each report of a full run in turn: the archive keeps the entries
  # before the stop, whole, and the entry whose data was under way is absent.
  def test_a_stop_at_any_report_leaves_only_whole_entries
    make_tree(path("src"), "a.txt" => "a" * 100, "big.bin" => noise(9 * MIB), "d/c.txt" => "c")
    all = []
    zip_folder(path("src"), "s", archive: path("all.zip"))
    Parvox.new(path("r.zip"), "").tap { |z| z.add_file(path("src"), "s", true, true) { |*r| all << r } }.close
    order = entry_names(path("all.zip"))
    inside = 0
    all.each_index do |stop_at|
      archive = path("stop#{stop_at}.zip")
      zip = Parvox.new(archive, "")
      seen = 0
      zip.add_file(path("src"), "s", true, true) { break if (seen += 1) > stop_at }
      zip.close
      names = entry_names(archive)
      assert_equal order.first(names.size), names, "stopped at report #{stop_at}: a prefix of the order"
      # More reports of the same entry follow: its data was under way.
      if all[stop_at][0] == all.dig(stop_at + 1, 0)
        refute_includes names, all[stop_at][0], "stopped inside #{all[stop_at][0]}"
        inside += 1
      end
      assert valid_archive?(archive), "stopped at report #{stop_at}"
    end
    assert_operator inside, :>=, 2, "stops inside big.bin"
  end

  def test_a_file_over_4_gib_gets_zip64_sizes
    linux_only "a sparse file, checked by unzip and python"
    huge_files_test
    big = path("big.bin")
    size = 4 * 1024**3 + 5
    File.open(big, "wb") { |f| f.truncate(size - 5); f.seek(size - 5); f.write("tail!") }
    File.write(path("after.txt"), "after")
    zip = Parvox.new(path("t.zip"), "")
    assert zip.add_file(big, "big.bin", false, false)
    assert zip.add_file(path("after.txt"), "after.txt", false, false)
    zip.close
    File.delete(big)
    out, status = Open3.capture2e("unzip", "-tq", path("t.zip"))
    assert status.success?, out
    sizes = ZipBytes.entries(path("t.zip")).map { |e| e[:size] }
    assert_equal [0xFFFFFFFF, 5], sizes, "the size of big.bin is in its ZIP64 field"
    assert_equal [["big.bin", size], ["after.txt", 5]], Parvox.load(path("t.zip"), "").entries.map { |e| [e.name, e.size] }
    out, status = Open3.capture2e("python3", "-c", <<~PY, path("t.zip"))
      import sys, zipfile
      z = zipfile.ZipFile(sys.argv[1])
      print([(i.filename, i.file_size) for i in z.infolist()], z.read("after.txt"))
    PY
    assert status.success?, out
    assert_equal "[('big.bin', #{size}), ('after.txt', 5)] b'after'\n", out
  end
end
