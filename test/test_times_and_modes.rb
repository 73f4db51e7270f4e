require_relative "helper"
require "json"
require "stringio"

# What an entry keeps besides its data: the modification time of every file
# and folder and, made on Unix, the permission bits; what extraction gives
# back of them; SOURCE_DATE_EPOCH for archives that come out the same
# whenever they are made.
class TestTimesAndModes < ParvoxTest
  # Far from UTC, not by whole hours, with summer time: the DOS fields are
  # local time, the extended timestamp UTC.
  TZ = { "TZ" => "America/St_Johns" }.freeze
  # Even seconds, which the DOS fields hold exactly; from 2038-01-19 on they
  # alone carry the time. 2021: 04:00 local, just after summer time began,
  # while 04:00 UTC was still winter time there.
  TIMES = {
    "1960.txt" => Time.utc(1960, 5, 5, 12, 0, 0), "1975.txt" => Time.utc(1975, 6, 1, 12, 0, 2), "1985.txt" => Time.utc(1985, 7, 14, 3, 4, 6),
    "2000.txt" => Time.utc(2000, 1, 1), "2021.txt" => Time.utc(2021, 3, 14, 6, 30, 0), "2037.txt" => Time.utc(2037, 12, 31, 23, 59, 58),
    "2040.txt" => Time.utc(2040, 2, 29, 12, 30, 44)
  }.freeze
  MODES = { "run.sh" => 0o755, "shared.txt" => 0o666, "setuid" => 0o4755 }.freeze
  MODE_TIME = Time.utc(2001, 9, 9, 1, 46, 40)
  FOLDER_TIME = Time.utc(1999, 12, 31, 22, 0, 0)

  # src/sub/ holds a file for each time (mode 0644), src/ one for each mode.
  def dated_tree
    root = path("src")
    FileUtils.mkdir_p(File.join(root, "sub"))
    TIMES.each { |name, time| write_file(File.join(root, "sub", name), 0o644, time) }
    MODES.each { |name, mode| write_file(File.join(root, name), mode, MODE_TIME) }
    File.utime(FOLDER_TIME, FOLDER_TIME, File.join(root, "sub"))
    root
  end

  def write_file(file, mode, time)
    File.write(file, "#!/bin/sh\necho #{File.basename(file)}\n")
    File.chmod(mode, file)
    File.utime(time, time, file)
  end

  # { "sub/1975.txt" => [mtime, permission bits], "sub" => [mtime, nil], ... }
  def times_and_modes(root)
    (TIMES.keys.map { |name| "sub/#{name}" } + MODES.keys).to_h do |rel|
      stat = File.stat(File.join(root, rel))
      [rel, [stat.mtime.to_i, stat.mode & 0o7777]]
    end.merge("sub" => [File.mtime(File.join(root, "sub")).to_i, nil])
  end

  # The time an archive by `maker` gives back: the DOS fields hold nothing
  # before 1980, Parvox's extended timestamp nothing before 1970; zip's holds
  # 1960 as well (as a negative number), zipfile writes the DOS fields alone.
  def restored_time(maker, time, local_1980)
    case maker
    when "zip" then time.to_i
    when "zipfile" then [time.to_i, local_1980].max
    else time.to_i.negative? ? local_1980 : time.to_i
    end
  end

  # The tree extracted from `maker`'s archive with `modes` (name =>
  # permission bits; `plain` for the files of src/sub/).
  def expected(maker, modes, plain, local_1980)
    times = TIMES.to_h { |name, time| ["sub/#{name}", [restored_time(maker, time, local_1980), plain]] }
    times.merge(modes.to_h { |name, mode| [name, [MODE_TIME.to_i, mode]] }, "sub" => [FOLDER_TIME.to_i, nil])
  end

  PY_ZIP = <<~PY.freeze
    import os, sys, zipfile
    archive, root = sys.argv[1], sys.argv[2]
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, strict_timestamps=False) as zf:
        base = os.path.dirname(root)
        for folder, subfolders, files in os.walk(root):
            zf.write(folder, os.path.relpath(folder, base))
            for name in files:
                full = os.path.join(folder, name)
                zf.write(full, os.path.relpath(full, base))
  PY

  # In TZ, with the umask ARGV[0]: extracts ARGV[1] beneath ARGV[2] and
  # tells what it listed.
  EXTRACT = <<~RUBY.freeze
    File.umask(ARGV[0].to_i(8))
    zip = Parvox.load(ARGV[1], "")
    listed = zip.entries.to_h { |e| [e.name, e.mtime.to_i] }
    print JSON.generate(ok: zip.unzip_all(ARGV[2]) || zip.last_error, listed: listed)
  RUBY

  def test_times_and_modes_come_back_through_parvox_unzip_and_from_zip_and_zipfile
    linux_only "permission bits, unzip, zip and Python"
    src = dated_tree
    out, status = ruby_child(<<~RUBY, path("parvox.zip"), src, env: TZ)
      zip = Parvox.new(ARGV[0], "")
      abort zip.last_error unless zip.add_file(ARGV[1], "src", true, true)
      zip.close
    RUBY
    assert status.success?, out
    run!(TZ, "zip", "-q", "-r", path("zip.zip"), "src")
    run!(TZ, "python3", "-c", PY_ZIP, path("zipfile.zip"), src)
    local_1980 = Integer(ruby_child("print Time.local(1980).to_i", env: TZ).first)

    # unzip restores the modes Parvox recorded, which are never setuid.
    run!(TZ, "unzip", "-q", path("parvox.zip"), "-d", path("unzip"))
    recorded = MODES.transform_values { |mode| mode & 0o777 }
    assert_equal expected("parvox", recorded, 0o644, local_1980), times_and_modes(path("unzip", "src")),
                 "unzip of Parvox's archive"

    %w[parvox zip zipfile].product([0o022, 0o077]).each do |maker, umask|
      target = path("out-#{maker}-#{umask.to_s(8)}")
      out, status = ruby_child("require 'json'\n#{EXTRACT}", format("%03o", umask), path("#{maker}.zip"), target, env: TZ)
      assert status.success?, out
      result = JSON.parse(out)
      assert_equal true, result["ok"], "#{maker}: unzip_all"
      modes = MODES.transform_values { |mode| (0o666 | mode & 0o111) & ~umask }
      want = expected(maker, modes, 0o666 & ~umask, local_1980)
      assert_equal want, times_and_modes(File.join(target, "src")), "#{maker}, umask #{umask.to_s(8)}"
      listed = result["listed"].reject { |name, _| name.end_with?("/") }
      assert_equal want.reject { |rel, _| rel == "sub" }.transform_keys { |rel| "src/#{rel}" }.transform_values(&:first), listed,
                   "#{maker}: Entry#mtime"
    end
  end

  def test_source_date_epoch_gives_the_same_bytes_whenever_the_tree_is_zipped
    src = make_tree(path("src"), "a.txt" => "a" * 100, "old.txt" => "old", "d/b.bin" => noise(5 << 20))
    File.utime(Time.utc(1985), Time.utc(1985), File.join(src, "old.txt"))
    zip_twice = lambda do |name|
      first = File.binread(zip_folder(src, "s", archive: path("#{name}-1.zip")))
      Dir.glob("#{src}/**/*").each { |file| File.utime(Time.now, Time.now + 10, file) unless file.end_with?("old.txt") }
      [first, File.binread(zip_folder(src, "s", archive: path("#{name}-2.zip")))]
    end
    before, after = zip_twice.call("plain")
    refute_equal before, after, "without SOURCE_DATE_EPOCH, times are recorded"
    ENV["SOURCE_DATE_EPOCH"] = "946684800"
    before, after = zip_twice.call("epoch")
    assert before == after, "the same bytes after touch"
    times = Parvox.load(path("epoch-2.zip"), "").entries.to_h { |e| [e.name, e.mtime] }
    assert_equal Time.utc(1985), times["s/old.txt"], "a time before SOURCE_DATE_EPOCH is kept"
    assert_equal [Time.utc(2000)], times.reject { |name, _| name == "s/old.txt" }.values.uniq, "later times are SOURCE_DATE_EPOCH"
  ensure
    ENV.delete("SOURCE_DATE_EPOCH")
  end

  # SOURCE_DATE_EPOCH is plain digits, up to what 64 bits hold; anything else
  # fails new (into a path, which is left as it was, or an IO) naming it.
  def test_a_malformed_source_date_epoch_fails_new
    File.write(path("kept.zip"), "kept")
    ["abc", "1e9", "-5", "+5", " 1600000000", "1600000000\n", "0x10", "", "9223372036854775808"].each do |value|
      ENV["SOURCE_DATE_EPOCH"] = value
      [path("kept.zip"), StringIO.new(+"")].each { |target| assert_nil Parvox.new(target, ""), value.inspect }
      assert_equal "SOURCE_DATE_EPOCH is '#{value}', not a number of seconds in plain digits", Parvox.last_error
    end
    assert_equal "kept", File.read(path("kept.zip"))
    { "0" => Time.at(0), "001000000000" => Time.at(1_000_000_000), "9223372036854775807" => Time.utc(2020) }.each do |value, time|
      ENV["SOURCE_DATE_EPOCH"] = value
      zip = Parvox.new(path("t.zip"), "")
      assert zip.add_data("dated", "dated.txt", mtime: Time.utc(2020))
      zip.close
      assert_equal time, Parvox.load(path("t.zip"), "").entries.first.mtime, value
    end
  ensure
    ENV.delete("SOURCE_DATE_EPOCH")
  end

  def run!(env, *command)
    output, status = Open3.capture2e(env, *command, chdir: @dir)
    assert status.success?, "#{command.join(' ')}: #{output}"
  end
end
