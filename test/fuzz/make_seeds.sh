#!/usr/bin/env bash
# Writes small valid archives of every kind the extension reads into the folder
# given as argument: the fuzzers' starting corpus. Encrypted ones use the
# password "secret", as the fuzz targets do.
set -euo pipefail

out=$(mkdir -p "$1" && cd "$1" && pwd)
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
ls -l "$out" | awk 'NR > 1 { print $5, $NF }'
