"""Python's zipfile as a benchmark contender.

  pyzip.py add ARCHIVE FOLDER NAME    ZIP_DEFLATED at level 6
  pyzip.py extract ARCHIVE FOLDER
"""
import os
import sys
import zipfile


def add(archive, folder, name):
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as zf:
        for root, _dirs, files in os.walk(folder):
            rel = os.path.relpath(root, folder)
            entry = name if rel == "." else name + "/" + rel
            zf.write(root, entry)
            for f in files:
                zf.write(os.path.join(root, f), entry + "/" + f)


def extract(archive, folder):
    with zipfile.ZipFile(archive) as zf:
        zf.extractall(folder)


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "add":
        add(*sys.argv[2:])
    elif len(sys.argv) == 4 and sys.argv[1] == "extract":
        extract(*sys.argv[2:])
    else:
        sys.exit("usage: pyzip.py add ARCHIVE FOLDER NAME | extract ARCHIVE FOLDER")
