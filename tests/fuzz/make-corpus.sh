#!/usr/bin/env bash
# Regenerates the fuzzer's seed corpus: tiny archives holding setup.exe in the shapes the
# extractor meets, written by the tools that write them in the wild.
set -euo pipefail
cd "$(dirname "$0")"
corpus="$PWD/corpus"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
printf '#!/bin/sh\necho installing the update\necho done\n' >setup.exe
mkdir big && head -c 300000 /dev/zero >big/setup.exe
rm -rf "$corpus" && mkdir "$corpus"

zip -q -X "$corpus/zip-deflated.zip" setup.exe
zip -q -X -0 "$corpus/zip-stored.zip" setup.exe
zip -q -X -fz "$corpus/zip-zip64.zip" setup.exe
zip -q -X -P secret "$corpus/zip-encrypted.zip" setup.exe
(cd big && zip -q -X "$corpus/zip-two-chunks.zip" setup.exe)
(cd big && 7z a -tzip -bd -bso0 "$corpus/7z-deflated.zip" setup.exe)
(cd big && 7z a -tzip -mm=BZip2 -bd -bso0 "$corpus/7z-bzip2.zip" setup.exe)
bsdtar -a -cf "$corpus/bsdtar.zip" setup.exe
python3 - "$corpus" <<'PYTHON'
import sys, zipfile
corpus = sys.argv[1]
data = open("setup.exe", "rb").read()
with zipfile.ZipFile(corpus + "/python-entries.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("readme.txt", b"read me")
    z.writestr("SETUP.EXE", data)
    z.writestr("empty/setup.exe", b"")
with zipfile.ZipFile(corpus + "/python-empty-entry.zip", "w") as z:
    z.writestr("setup.exe", b"")
with zipfile.ZipFile(corpus + "/python-zip64.zip", "w", zipfile.ZIP_DEFLATED) as z:
    with z.open("setup.exe", "w", force_zip64=True) as entry:
        entry.write(data)
class Pipe:
    """A stream that can't seek, so that zipfile writes data descriptors."""
    def __init__(self, file): self.file = file
    def write(self, data): return self.file.write(data)
    def flush(self): self.file.flush()
with open(corpus + "/python-data-descriptor.zip", "wb") as file:
    with zipfile.ZipFile(Pipe(file), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("setup.exe", data)
PYTHON
ls -l "$corpus"
