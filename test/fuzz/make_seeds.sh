#!/usr/bin/env bash
# Writes small valid archives of every kind the extension reads into the folder
# given as argument: the fuzzers' starting corpus. Encrypted ones use the
# password "secret", as the fuzz targets do.
set -euo pipefail

out=$(mkdir -p "$1" && cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

mkdir -p tree/dir/sub
printf 'hello hello hello hello\n' > tree/a.txt
printf 'second file\n%.0s' {1..20} > tree/dir/b.txt
printf '\x00\x01\x02\x03\xff' > tree/dir/sub/c.bin
: > tree/dir/empty
ln -s ../a.txt tree/dir/link

(cd tree && zip -qr -X "$out/deflate.zip" a.txt dir -x dir/link)
(cd tree && zip -qr -X -0 "$out/stored.zip" a.txt dir -x dir/link)
(cd tree && zip -qr -X -Z bzip2 "$out/bzip2.zip" a.txt dir/b.txt)
(cd tree && zip -qr -X -P secret "$out/zipcrypto.zip" a.txt dir/b.txt)
(cd tree && zip -qr -X -y "$out/symlink.zip" dir/link a.txt)
(cd tree && zip -qr -X -fz "$out/zip64-info.zip" a.txt dir/sub)
(cd tree && 7z a -bd -tzip -mem=AES256 -psecret "$out/aes256.zip" a.txt dir >/dev/null)
# Written to a pipe: sizes and CRC come in a data descriptor after the data.
printf 'streamed data\n' | zip -q -X - - > "$out/streamed.zip"

python3 - "$out" <<'PY'
import sys, zipfile
out = sys.argv[1]
with zipfile.ZipFile(f"{out}/zip64.zip", "w", zipfile.ZIP_DEFLATED) as z:
    for name, data in [("big/one.txt", b"zip64 " * 40), ("two.txt", b"x")]:
        with z.open(name, "w", force_zip64=True) as f:
            f.write(data)
with zipfile.ZipFile(f"{out}/empty.zip", "w"):
    pass
# Names the extractor must refuse or map beneath its target.
with zipfile.ZipFile(f"{out}/names.zip", "w", zipfile.ZIP_DEFLATED) as z:
    for name in ["win\\sep\\x.txt", "dot/./y.txt", "dup.txt", "DUP.TXT", "folder/",
                 "../up.txt", "/abs.txt", "C:drive.txt"]:
        z.writestr(zipfile.ZipInfo(name), b"" if name.endswith("/") else name.encode())
PY
# Archives that lie, crafted byte by byte: names holding NUL, local headers
# that disagree with the directory, a link-typed local header, a size that
# lies, a folder attribute over data, an entry too large to inflate whole;
# and oddities peers read (a descriptor without signature, bytes after the
# deflate stream, a stray locator signature in a comment), and ZipCrypto with
# the check byte of a descriptor.
ruby -r "$here/../zip_bytes.rb" - "$out" <<'RUBY'
out = ARGV[0]
data = "crafted entry data\n" * 20
crc = Zlib.crc32(data)
{
  "nul-name" => [{ name: "readme.txt\0/..\0/..\0/escaped.txt", data: "pwned" }, { name: "d\0/..\0/NEW/", data: "" }],
  "nul-unicode-path" => [{ name: "innocent.txt", data: "pwned",
                           central: { extra: ZipBytes.unicode_path_field("innocent.txt", "x\0/../../escaped.txt") } }],
  "local-stored" => [{ name: "a.txt", data: data, local: { method: 0 } }],
  "local-encrypted" => [{ name: "a.txt", data: data, local: { flags: 1 } }],
  "descriptor-crc" => [{ name: "a.txt", data: data, descriptor: :signed, central: { crc: crc ^ 1 } }],
  "descriptor-local-only" => [{ name: "a.txt", data: data, descriptor: :signed }],
  "descriptor-unsigned" => [{ name: "a.txt", data: data, stored: true, descriptor: :unsigned }],
  "link-header" => [{ name: "a.txt", data: data, local: { crc: crc ^ 1, extra: ZipBytes.link_mode_field },
                      central: { crc: crc ^ 1 } }],
  # Over 4 MiB: inflated in pieces, not whole (noise deflates to stored blocks).
  "large" => [{ name: "big.bin", data: Random.new(1).bytes(20_000) + "large entry line\n" * 300_000 }],
  "lying-size" => [{ name: "a.txt", data: "\0" * (1 << 20), local: { size: 10 }, central: { size: 10 } }],
  "folder-mode" => [{ name: "a.txt", data: data, central: { attributes: 0o40755 << 16 } }],
  "trailing-bytes" => [{ name: "a.txt", data: data, body: ZipBytes.deflate(data) + "trailing" }],
  "stray-locator" => [{ name: "a.txt", data: data, central: { comment: "PK\x06\x07".b + "\0".b * 16 } }],
  "dot" => [{ name: ".", data: data }],
  "zipcrypto-descriptor" => [{ name: "z.txt", data: data, stored: true, descriptor: :signed,
                               body: ZipBytes.zipcrypto("\0" * 12 + data, "secret"),
                               local: { flags: 9, crc: 0, compressed: 0, size: 0 }, central: { flags: 9 } }],
}.each { |name, entries| ZipBytes.write("#{out}/crafted-#{name}.zip", entries) }
RUBY
ls -l "$out" | awk 'NR > 1 { print $5, $NF }'
