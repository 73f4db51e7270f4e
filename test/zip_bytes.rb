require "zlib"

# Zip archives at the byte level, for the tests: writes archives with names
# and entries no archiver would produce (hostile names, names in a code page
# without the UTF-8 flag, link entries), and reads an archive's central
# directory back. Plain Ruby, so it works wherever the tests run.
module ZipBytes
  UTF8_FLAG = 0x800
  DOS_DATE_2020 = (40 << 9) | (1 << 5) | 1 # 2020-01-01

  module_function

  # Writes `entries` to `path`. Each entry is a Hash: :name (stored exactly,
  # as bytes), :data, and optionally :stored (no compression), :link (a Unix
  # symlink entry whose data is the target), :utf8 (the UTF-8 flag; by
  # default set for any non-ASCII name, as Python's zipfile does) and :extra
  # (extra fields, in both headers).
  def write(path, entries)
    out = "".b
    central = "".b
    entries.each do |entry|
      name = entry[:name].to_s.b
      data = entry[:data].to_s.b
      body = entry[:stored] ? data : deflate(data)
      flags = entry.fetch(:utf8) { !name.ascii_only? } ? UTF8_FLAG : 0
      extra = entry[:extra].to_s.b
      fields = [flags, entry[:stored] ? 0 : 8, 0, DOS_DATE_2020, Zlib.crc32(data), body.bytesize,
                data.bytesize, name.bytesize, extra.bytesize]
      mode = entry[:link] ? 0o120777 : 0o100644
      central << ["PK\x01\x02", (3 << 8) | 20, 20, *fields, 0, 0, 0, mode << 16, out.bytesize]
                 .pack("a4vvvvvvVVVvvvvvVV") << name << extra
      out << ["PK\x03\x04", 20, *fields].pack("a4vvvvvVVVvv") << name << extra << body
    end
    out << central << ["PK\x05\x06", 0, 0, entries.size, entries.size, central.bytesize,
                       out.bytesize - central.bytesize, 0].pack("a4vvvvVVv")
    File.binwrite(path, out)
    path
  end

  # An Info-ZIP Unicode Path extra field naming `stored` as `name`: readers
  # take `name` while the CRC of `stored` matches the stored name.
  def unicode_path_field(stored, name)
    data = [1, Zlib.crc32(stored)].pack("CV") + name.b
    [0x7075, data.bytesize].pack("vv") + data
  end

  # Flips one byte in the middle of the first entry's data (as damage on a
  # disk would), leaving every header intact; answers `path`.
  def damage_first_entry(path)
    bytes = File.binread(path)
    size, name_length, extra_length = bytes.unpack("@18V@26vv")
    at = 30 + name_length + extra_length + size / 2
    bytes.setbyte(at, bytes.getbyte(at) ^ 0x55)
    File.binwrite(path, bytes)
    path
  end

  def deflate(data)
    z = Zlib::Deflate.new(Zlib::DEFAULT_COMPRESSION, -Zlib::MAX_WBITS)
    z.deflate(data, Zlib::FINISH).tap { z.close }
  end

  # The central directory's entries, in stored order: { name: bytes,
  # utf8: the UTF-8 flag, method:, flags:, size: (uncompressed) }.
  def entries(path)
    bytes = File.binread(path)
    eocd = bytes.rindex("PK\x05\x06".b) or raise "#{path}: no end record"
    count, offset = bytes.unpack("@#{eocd + 10}v@#{eocd + 16}V")
    at = offset
    Array.new(count) do
      raise "#{path}: broken central directory" unless bytes[at, 4] == "PK\x01\x02".b
      flags, method = bytes.unpack("@#{at + 8}vv")
      size, name_length, extra_length, comment_length = bytes.unpack("@#{at + 24}Vvvv")
      name = bytes[at + 46, name_length]
      at += 46 + name_length + extra_length + comment_length
      { name: name, utf8: flags & UTF8_FLAG != 0, method: method, flags: flags, size: size }
    end
  end

  # Entry names as readers show them: UTF-8 when flagged, else code page 437.
  def names(path)
    entries(path).map do |e|
      e[:name].dup.force_encoding(e[:utf8] ? Encoding::UTF_8 : Encoding::IBM437).encode(Encoding::UTF_8)
    end
  end
end
