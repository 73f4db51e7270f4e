require_relative "helper"

# Archives whose entries would write far more than their data can hold: they
# are refused once the output of the loaded archive passes 1,032 times its
# size, and honest archives near the deflate limit still extract whole.
class ZipBombTest < ParvoxTest
  RATIO = 1032

  def setup
    super
    make_tree(path("work"), "keep.txt" => "keep", "beside/" => nil)
    @out = path("work", "out")
  end

  def bytes_beneath(folder)
    Dir.glob("**/*", base: folder).sum { |rel| File.file?(File.join(folder, rel)) ? File.size(File.join(folder, rel)) : 0 }
  end

  def beside_target
    tree_of(path("work")).reject { |rel, _| rel == "out" || rel.start_with?("out/") }
  end

  # Runs unzip_all on `archive`; answers its answer and the bytes written,
  # asserting nothing beside the target changed.
  def unzip_all_of(archive)
    before = beside_target
    answer = Parvox.load(archive, "").unzip_all(@out)
    assert_equal before, beside_target, "#{archive}: wrote beside the target"
    [answer, bytes_beneath(@out)]
  end

  def test_an_overlapping_entry_bomb_is_refused_within_the_bound
    [true, false].each do |honest_sizes|
      FileUtils.rm_rf(@out)
      bomb = overlapping_bomb(path("bomb.zip"), entries: 60, kernel_size: 20_000_000, honest_sizes: honest_sizes)
      answer, written = unzip_all_of(bomb)
      refute answer, "honest sizes: #{honest_sizes}"
      assert_operator written, :<=, RATIO * File.size(bomb), "honest sizes: #{honest_sizes}"
      assert_operator written, :<=, 20_100_000, "about one entry's worth at most"
    end
  end

  # A caller taking the entries one by one, to files or into memory, gets no
  # further: the budget is the loaded archive's, an entry is charged by its
  # position (whatever size it declares) and not twice when extracted again.
  def test_entry_by_entry_shares_one_bound
    [true, false].product(%i[unzip_file read]).each do |honest_sizes, via|
      what = "honest sizes: #{honest_sizes}, #{via}"
      FileUtils.rm_rf(@out)
      bomb = overlapping_bomb(path("bomb.zip"), entries: 30, kernel_size: 20_000_000, honest_sizes: honest_sizes)
      zip = Parvox.load(bomb, "")
      output = 0
      take = lambda do |name, target|
        next zip.unzip_file(name, File.join(@out, target)) if via == :unzip_file
        data = zip.read(name)
        output += data.bytesize if data
        !data.nil?
      end
      first = take.call("bomb0029", "first")
      again = take.call("bomb0029", "again")
      answers = Array.new(30) { |i| take.call(format("bomb%04d", i), i.to_s) }
      if honest_sizes
        assert first && again, "#{what}: the last entry alone is within the bound, however often"
      else
        refute first || again, "#{what}: an entry larger than it declares is damaged"
      end
      assert_operator answers.count(true), :<=, 2, what
      assert_operator bytes_beneath(@out) + output, :<=, 3 * RATIO * File.size(bomb), what
    end
  end

  # Two entries over a kernel of zeros still output twice what the archive
  # can hold: the first entry is written, the second refused.
  def test_the_two_entry_variant_is_judged_by_the_same_bound
    bomb = overlapping_bomb(path("bomb.zip"), entries: 2, kernel_size: 20_000_000)
    answer, written = unzip_all_of(bomb)
    refute answer
    assert_equal 20_000_038, File.size(File.join(@out, "bomb0000"))
    refute File.exist?(File.join(@out, "bomb0001"))
    assert_equal 20_000_038, written
    assert Parvox.load(bomb, "").unzip_file("bomb0001", path("alone")), "either entry alone fits"
  end

  # Entries that wait for their turn (a folder is already at their name)
  # while the workers run ahead hold no more than the workers decode: 300
  # entries declaring nothing over the same 4 MiB of data, on 16 threads (in
  # a child, whose peak memory is its own).
  def test_entries_waiting_for_their_turn_hold_little_memory
    linux_only "peak memory as /proc tells it"
    plain_memory_only
    span = (4 << 20) + (64 << 10)
    names = Array.new(300) { |i| format("f%04d", i) }
    entries = names.map { |name| { name: "#{name}/", data: "", stored: true } } +
              names.map { |name| { name: name, data: "", stored: true, local: { compressed: span }, central: { compressed: span } } }
    archive = ZipBytes.write(path("waiting.zip"), entries + [{ name: "data", data: "\0" * span, stored: true }])
    out, status = ruby_child(<<~RUBY, archive, @out, env: { "PARVOX_THREADS" => "16" }, deadline: 120)
      peak = -> { File.read("/proc/self/status")[/^VmHWM:\\s*(\\d+)/, 1].to_i << 10 }
      zip = Parvox.load(ARGV[0], "")
      before = peak.call
      puts zip.unzip_all(ARGV[1]), zip.last_error, peak.call - before
    RUBY
    assert status.success?, out
    answer, reason, grown = out.lines.map(&:chomp)
    assert_equal ["false", "'#{@out}/f0000': Is a directory"], [answer, reason]
    assert_operator Integer(grown), :<, 100 << 20, "peak memory grew that much"
  end

  def test_zeros_at_the_best_deflate_ratio_extract_whole
    linux_only "zip is a Linux program"
    zeros = path("zeros")
    File.open(zeros, "wb") { |f| 200.times { f.write("\0".b * (1 << 20)) } }
    out, status = Open3.capture2e("zip", "-9", "-j", path("zeros.zip"), zeros)
    assert status.success?, out
    File.delete(zeros)
    answer, written = unzip_all_of(path("zeros.zip"))
    assert answer
    assert_equal 200 << 20, written
    File.open(File.join(@out, "zeros"), "rb") do |f|
      while (chunk = f.read(1 << 20))
        assert chunk.count("\0") == chunk.size, "a byte that is not zero"
      end
    end
  end

  # bzip2 (and LZMA, xz) entries are held to the deflate bound too: a
  # high-ratio one is refused, an ordinary one extracts.
  def test_bzip2_entries_are_held_to_the_same_bound
    linux_only "7z is a Linux program"
    File.binwrite(path("zeros"), "\0".b * (20 << 20))
    File.binwrite(path("text"), (1..40_000).map { |i| "line #{i * 7919 % 10_007}\n" }.join)
    %w[zeros text].each do |name|
      out, status = Open3.capture2e("7z", "a", "-tzip", "-mm=BZip2", path("#{name}.zip"), path(name))
      assert status.success?, out
    end
    answer, written = unzip_all_of(path("zeros.zip"))
    refute answer, "20 MiB of zeros in #{File.size(path('zeros.zip'))} bytes"
    assert_operator written, :<=, RATIO * File.size(path("zeros.zip"))
    FileUtils.rm_rf(@out)
    assert_equal [true, File.size(path("text"))], unzip_all_of(path("text.zip"))
    assert_equal File.binread(path("text")), File.binread(File.join(@out, "text"))
  end
end
