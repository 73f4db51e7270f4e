require "minitest/autorun"
require "fileutils"
require "tmpdir"
require "open3"
require "json"
require "rbconfig"
require "zlib"
require "parvox"
require_relative "tree_files"
require_relative "zip_bytes"

# Shared by the test files: a scratch folder per test and small tree helpers.
class ParvoxTest < Minitest::Test
  # script/windows test runs this suite with the Windows Ruby under Wine.
  WINDOWS = RUBY_PLATFORM.match?(/mingw|mswin/)

  # An IO with read and seek only: served by the calling thread during calls
  # (children that need one define it from this text).
  READABLE = <<~'RUBY'.freeze
    class Readable
      def initialize(bytes)
        @bytes = bytes
        @at = 0
      end

      def read(count)
        return if @at >= @bytes.bytesize  # byteslice takes a C long: 32 bits on Windows
        data = @bytes.byteslice(@at, count) or return
        @at += data.bytesize
        data
      end

      def seek(offset, whence = IO::SEEK_SET)
        @at = whence == IO::SEEK_END ? @bytes.bytesize + offset : offset
        0
      end

      def tell
        @at
      end
    end
  RUBY
  class_eval(READABLE)

  # Skips a test that needs what only the Linux side has: Unix links and
  # FIFOs, or the peer archivers and Python, which are Linux programs here
  # (script/windows checks archives across the two sides with them instead).
  def linux_only(reason)
    skip "Linux only: #{reason}" if WINDOWS
  end

  # AddressSanitizer keeps freed memory in quarantine and adds its shadow:
  # peak memory measured under it says nothing of the extension's.
  def plain_memory_only
    skip "peak memory under AddressSanitizer" if ENV["LD_PRELOAD"].to_s.include?("libasan")
  end

  # Files of several GiB go through the same C++ code whatever the Ruby or the
  # ANSI code page: the passes that repeat the suite for those (Ruby 2.7, code
  # page 932) set PARVOX_TEST_HUGE_FILES=0 and leave them to the first pass.
  def huge_files_test
    skip "files of several GiB run in another pass" if ENV["PARVOX_TEST_HUGE_FILES"] == "0"
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
    TreeFiles.write(root, files)
  end

  # Every file (with its bytes) and folder beneath `root`, by relative path.
  def tree_of(root)
    TreeFiles.read(root)
  end

  # Zips `source` as a folder tree under `name` and answers the archive path.
  def zip_folder(source, name, password: "", archive: path("t.zip"))
    zip = Parvox.new(archive, password)
    assert zip.add_file(source, name, true, true), "adding #{source}"
    zip.close
    archive
  end

  # Python's zipfile, an independent writer, makes `archive` from `entries`
  # in ZipBytes.write's form: :name, :data (nil makes a folder entry) and
  # optionally :link (a Unix symlink whose target is the data). Files are
  # deflated and dated 2020-01-01.
  PYTHON_ZIP = <<~PY.freeze
    import json, sys, zipfile
    with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as zf:
        for e in json.load(sys.stdin):
            if e.get("data") is None:
                zf.writestr(zipfile.ZipInfo(e["name"]), b"")
                continue
            info = zipfile.ZipInfo(e["name"], (2020, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            if e.get("link"):
                info.create_system = 3
                info.external_attr = 0o120777 << 16
            zf.writestr(info, e["data"])
  PY

  def python_zip(entries, archive = path("python.zip"))
    _, err, status = Open3.capture3("python3", "-c", PYTHON_ZIP, archive, stdin_data: JSON.generate(entries))
    assert status.success?, "python zipfile: #{err}"
    archive
  end

  # 7z's zip with one entry, plain.txt (beside it), stored uncompressed and
  # encrypted with WinZip AES-256 under the password "PW"; answers its path.
  def stored_aes_archive
    File.write(path("plain.txt"), "stored but encrypted " * 50)
    _, status = Open3.capture2e("7z", "a", "-tzip", "-mx0", "-mem=AES256", "-pPW", path("s.zip"), path("plain.txt"))
    assert status.success?, "7z could not make the archive"
    path("s.zip")
  end

  # Entry names as zip readers show them, in stored order.
  def entry_names(archive)
    ZipBytes.names(archive)
  end

  # Writes an overlapping-entry zip bomb to `archive` and answers its path.
  # Every entry's data starts with a non-final stored deflate block quoting
  # the next entry's local header, so each entry inflates to all the local
  # headers after its own followed by the output of one shared deflate kernel
  # at the end: `kernel_size` zeros. The central directory lists every local
  # header. With `honest_sizes` false every entry declares 1 byte (CRCs and
  # compressed sizes stay right), as a bomb hiding from size checks would.
  def overlapping_bomb(archive, entries:, kernel_size:, honest_sizes: true)
    kernel, kernel_crc = deflated_zeros(kernel_size)
    # Built back to front: an entry's data is the quote of the next header,
    # then that header and the next entry's data.
    size, crc, compressed = kernel_size, kernel_crc, kernel.bytesize
    records = []
    (entries - 1).downto(0) do |i|
      fields = [crc, compressed, honest_sizes ? size : 1]
      name = format("bomb%04d", i)
      header = ([0x04034b50, 20, 0, 8, 0, 0x21, *fields, name.bytesize, 0].pack("VvvvvvVVVvv") + name).b
      records.unshift([name, fields, header])
      crc = Zlib.crc32_combine(Zlib.crc32(header), crc, size)
      size += header.bytesize
      compressed += 5 + header.bytesize
    end
    File.open(archive, "wb") do |f|
      offsets = records.each_with_index.map do |(_, _, header), i|
        offset = f.pos
        f.write(header)
        f.write(stored_block_header(records[i + 1][2].bytesize)) if records[i + 1]
        offset
      end
      f.write(kernel)
      central_start = f.pos
      records.zip(offsets).each do |(name, fields, _), offset|
        f.write([0x02014b50, 20, 20, 0, 8, 0, 0x21, *fields, name.bytesize, 0, 0, 0, 0, 0, offset]
                  .pack("VvvvvvvVVVvvvvvVV") + name)
      end
      f.write([0x06054b50, 0, 0, records.size, records.size, f.pos - central_start, central_start, 0]
                .pack("VvvvvVVv"))
    end
    archive
  end

  # A raw deflate stream of `size` zeros at the best ratio zlib reaches, and
  # the CRC-32 of those zeros; made in 1 MiB steps.
  def deflated_zeros(size)
    deflate = Zlib::Deflate.new(9, -Zlib::MAX_WBITS, 9)
    chunk = "\0".b * (1 << 20)
    stream = "".b
    crc = 0
    (size / chunk.size).times { stream << deflate.deflate(chunk); crc = Zlib.crc32(chunk, crc) }
    rest = "\0".b * (size % chunk.size)
    stream << deflate.deflate(rest, Zlib::FINISH)
    deflate.close
    [stream, Zlib.crc32(rest, crc)]
  end

  # The header of a non-final stored deflate block of `length` bytes.
  def stored_block_header(length)
    [0, length, length ^ 0xFFFF].pack("Cvv")
  end

  # Deterministic bytes that do not compress.
  def noise(size, seed = 1)
    Random.new(seed).bytes(size)
  end

  # A tree whose adding takes a noticeable time: `count` files of 1 MiB,
  # mostly noise (hard links to one file, which deflate compresses anew each
  # time). They begin with 64 KiB of zeros, so that they are deflated, not
  # stored.
  def slow_tree(count)
    root = path("slow")
    FileUtils.mkdir_p(root)
    File.binwrite(File.join(root, "f000.bin"), "\0".b * (64 << 10) + noise((1 << 20) - (64 << 10), 7))
    (1...count).each { |i| File.link(File.join(root, "f000.bin"), File.join(root, format("f%03d.bin", i))) }
    root
  end

  # 7z tests AES entries too; unzip only plain ones. They are Linux programs:
  # under Wine, Parvox extracting every entry is the check.
  def valid_archive?(archive, password = "")
    if WINDOWS
      # An archive stopped before its first entry holds none, and is valid.
      zip = Parvox.load(archive, password) or return false
      entries = zip.entries
      valid = !entries.nil? && (entries.empty? || zip.unzip_all(path("valid-#{File.basename(archive)}")))
      zip.close
      return valid
    end
    _, status = Open3.capture2e("7z", "t", "-p#{password}", archive)
    return status.success? unless password.empty?
    _, unzip_status = Open3.capture2e("unzip", "-tq", archive)
    status.success? && unzip_status.success?
  end

  # Runs `script` in a child Ruby that has required parvox, with `args` as
  # ARGV and `env` added to its environment; answers its output (stdout and
  # stderr) and exit status. A child still running after `deadline` seconds is
  # killed with every process it forked: a hang fails the test instead of the
  # suite.
  def ruby_child(script, *args, deadline: 60, env: {})
    command = [RbConfig.ruby, *$LOAD_PATH.map { |d| "-I#{d}" }, "-rparvox", "-e", script, *args]
    group = WINDOWS ? {} : { pgroup: true }  # Windows has no process groups
    Open3.popen2e(env, *command, **group) do |stdin, output, waiter|
      stdin.close
      reader = Thread.new { output.read }
      unless waiter.join(deadline)
        Process.kill("KILL", WINDOWS ? waiter.pid : -waiter.pid)
        flunk "the child was still running after #{deadline} s; it said: #{reader.value}"
      end
      [reader.value, waiter.value]
    end
  end

  # The command prefix that runs a child process as an unprivileged user:
  # permission bits keep nothing from root. Empty when not running as root.
  def unprivileged_runner
    return [] unless Process.euid.zero?
    skip "needs setpriv to drop root" unless system("command -v setpriv >/dev/null")
    File.chmod(0o755, @dir)
    %w[setpriv --reuid=nobody --regid=nogroup --clear-groups]
  end
end
