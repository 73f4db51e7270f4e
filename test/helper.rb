require "minitest/autorun"
require "fileutils"
require "tmpdir"
require "open3"
require "parvox"

# Shared by the test files: a scratch folder per test and small tree helpers.
class ParvoxTest < Minitest::Test
  def setup
    @dir = Dir.mktmpdir("parvox-test")
  end

  def teardown
    FileUtils.chmod_R("u+rwx", @dir, force: true) if File.exist?(@dir)
    FileUtils.rm_rf(@dir)
  end

  def path(*parts)
    File.join(@dir, *parts)
  end

  # Writes `files` ({ "a/b.txt" => "content", "empty/" => nil }) beneath
  # `root`; a name ending in "/" makes an empty folder.
  def make_tree(root, files)
    files.each do |name, content|
      target = File.join(root, name)
      if name.end_with?("/")
        FileUtils.mkdir_p(target)
      else
        FileUtils.mkdir_p(File.dirname(target))
        File.binwrite(target, content)
      end
    end
    root
  end

  # Every file (with its bytes) and folder beneath `root`, by relative path.
  def tree_of(root)
    Dir.glob("**/*", File::FNM_DOTMATCH, base: root).reject { |p| File.basename(p) == "." }
       .sort.map { |rel| full = File.join(root, rel); [rel, File.directory?(full) ? :dir : File.binread(full)] }
  end

  # Zips `source` as a folder tree under `name` and answers the archive path.
  def zip_folder(source, name, password: "", archive: path("t.zip"))
    zip = Parvox.new(archive, password)
    assert zip.add_file(source, name, true, true), "adding #{source}"
    zip.close
    archive
  end

  # Entry names as Python's zipfile reads them, in stored order.
  def entry_names(archive)
    out, status = Open3.capture2("python3", "-c", <<~PY, archive)
      import sys, zipfile
      for info in zipfile.ZipFile(sys.argv[1]).infolist():
          print(info.filename)
    PY
    assert status.success?, "python3 could not read #{archive}"
    out.force_encoding("UTF-8").lines.map(&:chomp)
  end

  # Deterministic bytes that do not compress.
  def noise(size, seed = 1)
    Random.new(seed).bytes(size)
  end
end
