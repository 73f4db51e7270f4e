require "minitest/autorun"
require "fileutils"
require "tmpdir"
require "open3"
require "parvox"
require_relative "zip_bytes"

# Shared by the test files: a scratch folder per test and small tree helpers.
class ParvoxTest < Minitest::Test
  # script/windows test runs this suite with the Windows Ruby under Wine.
  WINDOWS = RUBY_PLATFORM.match?(/mingw|mswin/)

  # Skips a test that needs what only the Linux side has: Unix links and
  # FIFOs, or the peer archivers and Python, which are Linux programs here
  # (script/windows checks archives across the two sides with them instead).
  def linux_only(reason)
    skip "Linux only: #{reason}" if WINDOWS
  end

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

  # Entry names as zip readers show them, in stored order.
  def entry_names(archive)
    ZipBytes.names(archive)
  end

  # Deterministic bytes that do not compress.
  def noise(size, seed = 1)
    Random.new(seed).bytes(size)
  end
end
