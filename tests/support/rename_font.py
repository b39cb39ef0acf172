"""Writes copies of a TrueType font under other family names.

Usage: rename_font.py SOURCE.ttf OUTDIR FAMILY [FAMILY...]
Each copy is OUTDIR/<FAMILY with spaces removed>.ttf. Needs Debian's
python3-fonttools (run with /usr/bin/python3).
"""
import os
import sys

from fontTools.ttLib import TTFont


def rename(source, target, family):
    font = TTFont(source)
    postscript = family.replace(" ", "")
    names = font["name"]
    for record in names.names:
        if record.nameID in (1, 16):
            record.string = family
        elif record.nameID in (2, 17):
            record.string = "Regular"
        elif record.nameID == 4:
            record.string = family
        elif record.nameID == 6:
            record.string = postscript
        elif record.nameID == 3:
            record.string = postscript + "-test"
    font.save(target)


def main(argv):
    if len(argv) < 4:
        sys.stderr.write(__doc__)
        return 2
    source, outdir = argv[1], argv[2]
    os.makedirs(outdir, exist_ok=True)
    for family in argv[3:]:
        rename(source, os.path.join(outdir, family.replace(" ", "") + ".ttf"), family)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
