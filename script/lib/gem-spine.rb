# What a user of an installed Parvox gem does first, in a scratch folder:
# writes archives (a folder tree and a String, without and with a password),
# reads them back (entries, read, unzip_all) and compares every byte. Run by
# script/gem-check and script/linux-gem with GEM_HOME set to where the gem
# was installed; aborts with the first difference. Arguments, when given: an
# archive zip(1) made with password "peer" (ZipCrypto, which Parvox reads
# with libarchive) holding file peer.txt, and a copy of that file.
require "parvox"
require "fileutils"
require "tmpdir"

peer_zip, peer_file = ARGV.map { |f| File.expand_path(f) }

def check(what)
  yield or abort "gem check (Ruby #{RUBY_VERSION}): #{what}"
end

path = Parvox.get_path
check("parvox.so loaded from #{path}, not from GEM_HOME") { path.start_with?(ENV.fetch("GEM_HOME")) }

Dir.mktmpdir do |dir|
  Dir.chdir(dir) do
    files = {
      "tree/a.txt" => "alpha\n" * 10_000,
      "tree/sub/b.bin" => Random.new(7).bytes(300_000),
      "tree/sub/deeper/empty" => ""
    }
    files.each do |name, bytes|
      FileUtils.mkdir_p(File.dirname(name))
      File.binwrite(name, bytes)
    end
    expected = files.merge("notes/data.txt" => "ünïcödé " * 1000)

    [nil, "s3cret"].each do |password|
      archive = password ? "locked.zip" : "plain.zip"
      Parvox.create(archive, password) do |zip|
        zip.add_file("tree")
        zip.add_data(expected["notes/data.txt"], "notes/data.txt")
      end
      Parvox.open(archive, password) do |zip|
        files_in = zip.entries.reject(&:folder)
        check("#{archive}: entries #{files_in.map(&:name)}") { files_in.map(&:name).sort == expected.keys.sort }
        # An empty file has no data to encrypt.
        check("#{archive}: encrypted flags") { files_in.all? { |entry| entry.encrypted == (!password.nil? && entry.size > 0) } }
        expected.each do |name, bytes|
          check("#{archive}: read #{name}") { zip.read(name) == bytes.b }
        end
        zip.unzip_all("out-#{archive}")
      end
      expected.each do |name, bytes|
        check("#{archive}: unzipped #{name}") { File.binread(File.join("out-#{archive}", name)) == bytes.b }
      end
    end

    wrong = begin
      Parvox.open("locked.zip", "wrong") { |zip| zip.read("tree/a.txt") }
    rescue Parvox::Error
      :refused
    end
    check("locked.zip read with a wrong password") { wrong == :refused }

    if peer_zip
      Parvox.open(peer_zip, "peer") do |zip|
        check("#{peer_zip}: peer.txt (ZipCrypto)") { zip.read("peer.txt") == File.binread(peer_file) }
      end
    end
  end
end
puts "gem check: Parvox #{Parvox.get_version} from #{File.dirname(path)} wrote and read archives under Ruby #{RUBY_VERSION}"
