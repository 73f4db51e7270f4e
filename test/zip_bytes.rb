require "zlib"

# Zip archives at the byte level, for the tests: writes archives with names
# and entries no archiver would produce (hostile names, names in a code page
# without the UTF-8 flag, link entries), and reads an archive's central
# directory back. Plain Ruby, so it works wherever the tests run.
module ZipBytes
  UTF8_FLAG = 0x800
  DESCRIPTOR_FLAG = 0x8
  DOS_DATE_2020 = (40 << 9) | (1 << 5) | 1 # 2020-01-01

  module_function

  # Writes `entries` to `path`. Each entry is a Hash: :name (stored exactly,
  # as bytes), :data, and optionally :stored (no compression), :link (a Unix
  # symlink entry whose data is the target), :utf8 (the UTF-8 flag; by
  # default set for any non-ASCII name, as Python's zipfile does) and :extra
  # (extra fields, in both headers). For archives that lie: :body (the bytes
  # stored as its data, in place of `data` compressed), :descriptor (:signed
  # or :unsigned: sizes and CRC in a data descriptor after the data, the
  # local header's flag set and its values zero), and :local and :central,
  # fields that replace the ones computed for that header (:version, :flags,
  # :method, :crc, :compressed, :size, :extra; the directory also :made_by,
  # :attributes, :comment). `comment` is the archive's.
  def write(path, entries, comment: "")
    out = "".b
    central = "".b
    entries.each do |entry|
      name = entry[:name].to_s.b
      data = entry[:data].to_s.b
      body = entry[:body] || (entry[:stored] ? data : deflate(data))
      fields = { version: 20, flags: entry.fetch(:utf8) { !name.ascii_only? } ? UTF8_FLAG : 0,
                 method: entry[:stored] ? 0 : 8, crc: Zlib.crc32(data), compressed: body.bytesize,
                 size: data.bytesize, extra: entry[:extra].to_s.b }
      local = fields.dup
      local.update(flags: local[:flags] | DESCRIPTOR_FLAG, crc: 0, compressed: 0, size: 0) if entry[:descriptor]
      local.update(entry[:local] || {})
      record = fields.merge(made_by: (3 << 8) | 20, attributes: (entry[:link] ? 0o120777 : 0o100644) << 16,
                            comment: "".b).update(entry[:central] || {})
      central << ["PK\x01\x02", record[:made_by], *header_fields(record), name.bytesize, record[:extra].bytesize,
                  record[:comment].bytesize, 0, 0, record[:attributes], out.bytesize]
                 .pack("a4vvvvvvVVVvvvvvVV") << name << record[:extra] << record[:comment]
      out << ["PK\x03\x04", *header_fields(local), name.bytesize, local[:extra].bytesize].pack("a4vvvvvVVVvv")
      out << name << local[:extra] << body
      descriptor = [fields[:crc], fields[:compressed], fields[:size]].pack("VVV")
      out << { signed: "PK\x07\x08".b + descriptor, unsigned: descriptor }.fetch(entry[:descriptor]) if entry[:descriptor]
    end
    out << central << ["PK\x05\x06", 0, 0, entries.size, entries.size, central.bytesize,
                       out.bytesize - central.bytesize, comment.bytesize].pack("a4vvvvVVv") << comment.b
    File.binwrite(path, out)
    path
  end

  # From "version needed" to the uncompressed size, as both headers hold them.
  def header_fields(values)
    [values[:version], values[:flags], values[:method], 0, DOS_DATE_2020, values[:crc], values[:compressed],
     values[:size]]
  end

  # The extra field that carries a Unix mode in a local header (Info-ZIP's
  # 0x6c78), here a symlink's.
  def link_mode_field
    [0x6c78, 7, 5, (3 << 8) | 20, 0o120777 << 16].pack("vvCvV")
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
    size = entries(path)[0][:compressed] # a local header may leave it to a data descriptor
    bytes = File.binread(path)
    name_length, extra_length = bytes.unpack("@26vv")
    at = 30 + name_length + extra_length + size / 2
    bytes.setbyte(at, bytes.getbyte(at) ^ 0x55)
    File.binwrite(path, bytes)
    path
  end

  # `data` encrypted by traditional PKWARE encryption (ZipCrypto) under
  # `password`, or decrypted when `decrypt`. An entry's data is a 12-byte
  # header whose last byte a reader checks the password by, then the data.
  def zipcrypto(data, password, decrypt: false)
    keys = [0x12345678, 0x23456789, 0x34567890]
    update = lambda do |byte|
      keys[0] = crc_step(keys[0], byte)
      keys[1] = ((keys[1] + (keys[0] & 0xFF)) * 134_775_813 + 1) & 0xFFFFFFFF
      keys[2] = crc_step(keys[2], keys[1] >> 24)
    end
    password.b.each_byte(&update)
    data.b.bytes.map do |byte|
      t = (keys[2] | 2) & 0xFFFF
      out = byte ^ (((t * (t ^ 1)) >> 8) & 0xFF)
      update.call(decrypt ? out : byte)
      out
    end.pack("C*")
  end

  # One byte into a CRC-32 register, without the pre- and post-inversion.
  def crc_step(crc, byte)
    Zlib.crc32(byte.chr, crc ^ 0xFFFFFFFF) ^ 0xFFFFFFFF
  end

  # The first entry of the archive at `path` as its local header has it:
  # { flags:, method:, crc:, extra:, body: (the data as stored) }.
  def first_local_entry(path)
    bytes = File.binread(path)
    flags, method, crc, compressed, _, name_length, extra_length = bytes.unpack("@6vv@14VVVvv")
    { flags: flags, method: method, crc: crc, extra: bytes[30 + name_length, extra_length],
      body: bytes[30 + name_length + extra_length, compressed] }
  end

  def deflate(data)
    z = Zlib::Deflate.new(Zlib::DEFAULT_COMPRESSION, -Zlib::MAX_WBITS)
    z.deflate(data, Zlib::FINISH).tap { z.close }
  end

  # The central directory's entries, in stored order: { name: bytes,
  # utf8: the UTF-8 flag, method:, flags:, size: (uncompressed), compressed:,
  # data_method: (the method inside WinZip AES, else method) }.
  def entries(path)
    bytes = File.binread(path)
    eocd = bytes.rindex("PK\x05\x06".b) or raise "#{path}: no end record"
    count, offset = bytes.unpack("@#{eocd + 10}v@#{eocd + 16}V")
    at = offset
    Array.new(count) do
      raise "#{path}: broken central directory" unless bytes[at, 4] == "PK\x01\x02".b
      flags, method = bytes.unpack("@#{at + 8}vv")
      compressed, size, name_length, extra_length, comment_length = bytes.unpack("@#{at + 20}VVvvv")
      name = bytes[at + 46, name_length]
      extra = bytes[at + 46 + name_length, extra_length]
      at += 46 + name_length + extra_length + comment_length
      { name: name, utf8: flags & UTF8_FLAG != 0, method: method, flags: flags, size: size,
        compressed: compressed, data_method: method == 99 ? aes_method(extra) : method }
    end
  end

  # The method a WinZip AES extra field (0x9901) names, or nil.
  def aes_method(extra)
    at = 0
    while at + 4 <= extra.bytesize
      id, length = extra.unpack("@#{at}vv")
      return extra.unpack1("@#{at + 9}v") if id == 0x9901 && length >= 7
      at += 4 + length
    end
  end

  # Entry names as readers show them: UTF-8 when flagged, else code page 437.
  def names(path)
    entries(path).map do |e|
      e[:name].dup.force_encoding(e[:utf8] ? Encoding::UTF_8 : Encoding::IBM437).encode(Encoding::UTF_8)
    end
  end
end
