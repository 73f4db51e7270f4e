require "helper"

# Parvox#read: one entry into memory, whole or in chunks handed to a block.
# (Every tool's archives are read in test_interop, bombs in test_zip_bombs.)
class ReadTest < ParvoxTest
  MIB = 1 << 20

  def setup
    super
    @data = noise(9 * MIB + 5)
    @archive = ZipBytes.write(path("t.zip"), [{ name: "big.bin", data: @data, stored: true },
                                              { name: "dir/", data: "" }, { name: "small.txt", data: "small" }])
  end

  def test_whole_and_in_chunks_of_at_most_4_mib
    zip = Parvox.load(@archive, "")
    chunks = []
    assert_equal true, zip.read("big.bin") { |chunk| chunks << chunk }
    assert_operator chunks.size, :>=, 3
    assert chunks.all? { |c| c.encoding == Encoding::BINARY && c.bytesize <= 4 * MIB }, chunks.map(&:bytesize).inspect
    assert_equal @data, chunks.join
    assert_equal @data, zip.read("BIG.BIN")
    assert_equal ["small".b, Encoding::BINARY], [zip.read("small.txt"), zip.read("small.txt").encoding]
    assert_equal "", zip.read("dir")
    assert_nil zip.last_error
    assert_equal :broke, zip.read("big.bin") { break :broke }
    assert_raises(IOError) { zip.read("small.txt") { raise IOError } }
    assert_equal "small", zip.read("small.txt"), "a read after one stopped by its block"
  end

  def test_failures_answer_nil_or_false_with_a_reason
    bytes = File.binread(@archive)
    at = bytes.index(@data[-100, 32])
    bytes.setbyte(at, bytes.getbyte(at) ^ 0xFF)
    File.binwrite(@archive, bytes)
    zip = Parvox.load(@archive, "")
    assert_nil zip.read("big.bin")
    assert_equal "'big.bin': data damaged (CRC mismatch)", zip.last_error
    yielded = 0
    assert_equal false, zip.read("big.bin") { |chunk| yielded += chunk.bytesize }
    assert_operator yielded, :>=, 4 * MIB, "the chunks before the damage are yielded"
    assert_nil zip.read("missing.txt")
    assert_equal "no entry named 'missing.txt'", zip.last_error
    assert_equal "small", zip.read("small.txt"), "a read after failed ones"
    zip.close
    assert_nil zip.read("small.txt")
    assert_equal "the archive is closed", zip.last_error

    make_tree(path("src"), "secret.txt" => "secret")
    locked = zip_folder(path("src"), "src", password: "right", archive: path("locked.zip"))
    wrong = Parvox.load(locked, "wrong")
    assert_nil wrong.read("src/secret.txt")
    assert_equal "wrong password for 'src/secret.txt'", wrong.last_error
    assert_equal "secret", Parvox.load(locked, "right").read("src/secret.txt")
    writer = Parvox.new(path("new.zip"), "")
    assert_nil writer.read("x")
    assert_match(/made by new/, writer.last_error)
    writer.close
  end
end
