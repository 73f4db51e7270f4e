# Archives across Linux and Windows, run by script/windows test in three
# steps on one shared folder:
#
#   ruby test/cross_platform.rb linux-write DIR    (Linux)  a tree, and archives
#       of it by Parvox, zip, 7z and Python's zipfile
#   ruby.exe test/cross_platform.rb windows DIR    (Wine)   extracts each of them,
#       and zips the tree with Parvox, plainly and with passwords
#   ruby test/cross_platform.rb linux-check DIR    (Linux)  compares what Wine
#       extracted with the tree, and checks Wine's archives with unzip -t, 7z t
#       and Python's zipfile (names and bytes)
#
# Each step prints what failed and exits 1; the Linux steps need the Linux
# build of Parvox on the load path.
require "fileutils"
require "open3"
require "parvox"
require_relative "tree_files"

module CrossPlatform
  TREE = {
    "plain.txt" => "plain text\n" * 500,
    "empty.txt" => "",
    "hollow/" => nil,
    "café/résumé é.txt" => "é\n" * 100,
    "日本/語.bin" => (0..255).map(&:chr).join.b * 300,
    "Жук/日本 é/deep.txt" => "mixed names\n",
  }.freeze
  # ASCII, which every tool keys alike, a password whose bytes differ between
  # UTF-8 (Linux tools) and the ANSI code page (Parvox on Windows), and one no
  # ANSI code page spells, which Parvox on Windows keys with its UTF-8 bytes.
  PASSWORD = "open sesame 42"
  NON_ASCII_PASSWORD = "pässwörd"
  BEYOND_ANSI_PASSWORD = "pāss✓"
  PYTHON = "/usr/bin/python3"

  # name => [password, how Linux writes it (run in the tree's folder)]
  LINUX_ARCHIVES = {
    "parvox" => ["", :parvox],
    # Keyed with the UTF-8 bytes of the password (the locale is UTF-8).
    "parvox-password" => [NON_ASCII_PASSWORD, :parvox],
    "zip" => ["", %w[zip -q -r -X]],
    "7z" => ["", %w[7z a -tzip -bd -bso0]],
    "7z-aes" => [PASSWORD, %W[7z a -tzip -bd -bso0 -mem=AES256 -p#{PASSWORD}]],
    "python" => ["", [PYTHON, "-c", <<~PY]],
      import os, sys, zipfile
      with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as zf:
          for top, folders, files in os.walk("tree"):
              for name in folders + files:
                  zf.write(os.path.join(top, name))
    PY
  }.freeze
  # name => password of the archives Wine writes
  WINDOWS_ARCHIVES = { "wine" => "", "wine-password" => PASSWORD, "wine-password-non-ascii" => NON_ASCII_PASSWORD,
                       "wine-password-beyond-ansi" => BEYOND_ANSI_PASSWORD }.freeze

  module_function

  def failures
    @failures ||= []
  end

  def check(ok, what)
    failures << what unless ok
    ok
  end

  def finish(step)
    if failures.empty?
      puts "cross-platform #{step}: all good"
      exit 0
    end
    failures.each { |f| warn "cross-platform #{step}: #{f}" }
    exit 1
  end

  def parvox_zip(archive, password, tree)
    zip = Parvox.new(archive, password) or return false
    zip.add_file(tree, "tree", true, true).tap { zip.close }
  end

  def linux_write(dir)
    FileUtils.rm_rf(dir)
    TreeFiles.write(File.join(dir, "tree"), TREE)
    LINUX_ARCHIVES.each do |name, (password, how)|
      archive = File.join(dir, "#{name}.zip")
      if how == :parvox
        check(parvox_zip(archive, password, File.join(dir, "tree")), "#{name}: Parvox on Linux")
      else
        out, status = Open3.capture2e({ "LC_ALL" => "C.UTF-8" }, *how, archive, "tree", chdir: dir)
        check(status.success?, "#{name}: #{how.first} failed: #{out}")
      end
    end
    finish("linux-write")
  end

  def windows(dir)
    LINUX_ARCHIVES.each do |name, (password, _how)|
      zip = Parvox.load(File.join(dir, "#{name}.zip"), password)
      next check(false, "#{name}: did not load under Wine") unless zip

      out = File.join(dir, "out-#{name}")
      check(zip.unzip_all(out), "#{name}: unzip_all answered false under Wine")
      zip.close
    end
    WINDOWS_ARCHIVES.each do |name, password|
      check(parvox_zip(File.join(dir, "#{name}.zip"), password, File.join(dir, "tree")), "#{name}: Parvox under Wine")
    end
    finish("windows")
  end

  def run(*command)
    Open3.capture2e({ "LC_ALL" => "C.UTF-8" }, *command, stdin_data: "")
  end

  # Names and bytes as Python's zipfile reads them.
  def python_tree(archive)
    out, status = Open3.capture2e(PYTHON, "-c", <<~PY, archive)
      import sys, zipfile
      with zipfile.ZipFile(sys.argv[1]) as zf:
          for info in zf.infolist():
              data = b"" if info.is_dir() else zf.read(info)
              sys.stdout.buffer.write(info.filename.encode("utf-8") + b"\\0" + data.hex().encode() + b"\\n")
    PY
    return nil unless status.success?

    out.b.lines.map do |line|
      name, hex = line.chomp.split("\0", 2)
      name = name.force_encoding("UTF-8").delete_prefix("tree/")
      name.end_with?("/") ? [name.chomp("/"), :dir] : [name, [hex].pack("H*")]
    end.reject { |name, _| name.empty? }.sort
  end

  def linux_check(dir)
    expected = TreeFiles.read(File.join(dir, "tree"))
    LINUX_ARCHIVES.each_key do |name|
      got = TreeFiles.read(File.join(dir, "out-#{name}", "tree"))
      check(got == expected, "#{name}: extracted under Wine, differs: #{(got - expected).map(&:first)} " \
                             "instead of #{(expected - got).map(&:first)}")
    end
    WINDOWS_ARCHIVES.each do |name, password|
      archive = File.join(dir, "#{name}.zip")
      if password.empty?
        out, status = run("unzip", "-t", archive)
        check(status.success?, "#{name}: unzip -t: #{out}")
        check(python_tree(archive) == expected, "#{name}: Python's zipfile reads other names or bytes")
      elsif password.ascii_only? || password == BEYOND_ANSI_PASSWORD
        # 7z keys with the UTF-8 bytes.
        out, status = run("7z", "t", "-p#{password}", archive)
        check(status.success?, "#{name}: 7z t: #{out}")
      else
        # The key is the password in the ANSI code page (or UTF-8 where it
        # lacks a letter): a Latin-1 Parvox on Linux tries both.
        check(latin1_parvox_reads?(archive, password, dir), "#{name}: not keyed with the ANSI form")
      end
      check(python_names(archive) == expected.map(&:first), "#{name}: Python's zipfile lists other names")
    end
    finish("linux-check")
  end

  def python_names(archive)
    out, status = Open3.capture2e(PYTHON, "-c", <<~PY, archive)
      import sys, zipfile
      for name in zipfile.ZipFile(sys.argv[1]).namelist():
          sys.stdout.buffer.write(name.encode("utf-8") + b"\\n")
    PY
    return nil unless status.success?

    out.force_encoding("UTF-8").lines.map { |l| l.chomp.delete_prefix("tree/").chomp("/") }.reject(&:empty?).sort
  end

  # The password goes to the child as UTF-8 bytes, which its Latin-1 ARGV
  # would take for Latin-1 characters.
  def latin1_parvox_reads?(archive, password, dir)
    script = 'require "parvox"; z = Parvox.load(ARGV[0], ARGV[1].dup.force_encoding("UTF-8")); ' \
             'exit(z && z.unzip_file("tree/plain.txt", ARGV[2]) ? 0 : 1)'
    system({ "LC_ALL" => "en_US.ISO-8859-1" }, RbConfig.ruby, *$LOAD_PATH.map { |d| "-I#{d}" }, "-e", script,
           archive, password, File.join(dir, "latin1-check.txt"))
  end
end

step, dir = ARGV
case step
when "linux-write" then CrossPlatform.linux_write(dir)
when "windows" then CrossPlatform.windows(dir)
when "linux-check" then CrossPlatform.linux_check(dir)
else abort "usage: #{$PROGRAM_NAME} linux-write|windows|linux-check DIR"
end
