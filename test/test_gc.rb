require_relative "helper"

# The garbage collector against the native objects: archives dropped without
# close are finished by it, and nothing the extension holds moves or vanishes
# when it runs at every allocation.
class TestGC < ParvoxTest
  TREE = { "a.txt" => "alpha " * 300, "sub/b.bin" => (0..255).map(&:chr).join * 40, "sub/deep/" => nil }.freeze

  def setup
    super
    make_tree(path("src"), TREE)
  end

  # Writers (half of them encrypted) that are dropped in the middle of their
  # work: the free function must finish each one into a complete archive.
  def test_archives_dropped_while_written_are_finished_by_the_collector
    freed = []
    6.times { |i| start_and_drop(i, freed) }
    3.times { GC.start(full_mark: true, immediate_sweep: true) }
    refute_empty freed, "no dropped writer was collected"
    freed.each do |i|
      password = i.odd? ? "secret" : ""
      unless WINDOWS # 7z is a Linux program; under Wine the extraction below is the check
        out, status = Open3.capture2e("7z", "t", "-p#{password}", path("#{i}.zip"))
        assert status.success?, "7z rejects archive #{i}, finished by the collector:\n#{out}"
      end
      reader = Parvox.load(path("#{i}.zip"), password)
      assert reader.unzip_all(path("out#{i}")), "extracting archive #{i}"
      assert_equal tree_of(path("src")), tree_of(path("out#{i}", "tree"))
      reader.close
    end
  end

  # Every method with arguments built on the spot, under GC.stress: a String
  # whose bytes the extension kept past an allocation would be collected.
  def test_every_method_under_gc_stress
    GC.stress = true
    zip = Parvox.new(+"#{@dir}/s.zip", "pass" + "word")
    assert zip.add_file(path("src") + "", "tree".dup, true, true)
    assert zip.add_file(File.join(path("src"), "a.txt"), "top/" + "a.txt", false, false)
    zip.close
    reader = Parvox.load(path("s.zip").dup, "password".dup)
    assert reader.unzip_file("TOP\\A.TXT".dup, path("one", "a.txt"))
    assert reader.unzip_all(path("all").dup)
    reader.close
  ensure
    GC.stress = false
  end

  # Readers dropped in the middle of extraction give their file back: the
  # process does not run out of descriptors.
  def test_dropped_readers_release_their_files
    linux_only "counts descriptors in /proc/self/fd"
    zip_folder(path("src"), "tree")
    before = Dir.children("/proc/self/fd").size
    200.times { |i| Parvox.load(path("t.zip"), "").unzip_file("tree/a.txt", path("r#{i % 5}.txt")) }
    GC.start(full_mark: true, immediate_sweep: true)
    assert_operator Dir.children("/proc/self/fd").size, :<=, before + 10
    assert_equal TREE["a.txt"], File.read(path("r4.txt"))
  end

  private

  # Kept out of the test's own frame so no stale reference stays on its stack.
  def start_and_drop(index, freed)
    zip = Parvox.new(path("#{index}.zip"), index.odd? ? "secret" : "")
    assert zip.add_file(path("src"), "tree", true, true)
    ObjectSpace.define_finalizer(zip, self.class.finalizer(freed, index))
    nil
  end

  def self.finalizer(freed, index)
    proc { freed << index }
  end
end
