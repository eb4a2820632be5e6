#!/usr/bin/env python3
"""Writes the demo's update: a zip holding the demo installer as Update.exe, and random
padding that makes the download last long enough for the progress bar to be seen."""

import os
import sys
import zipfile

PADDING = 4 * 1024 * 1024


def main():
    installer, archive = sys.argv[1:3]
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as update:
        update.write(installer, "Update.exe")
        # Random bytes don't compress, so the archive keeps their size.
        update.writestr("Padding.bin", os.urandom(PADDING))


if __name__ == "__main__":
    main()
