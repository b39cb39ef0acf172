# Writes copies of a TrueType font under other family names, for tests that need
# fonts of given names: rename_font.py SOURCE.ttf OUTDIR FAMILY... makes
# OUTDIR/<FAMILY without spaces>.ttf each. Needs Debian's python3-fonttools.
import os
import sys

from fontTools.ttLib import TTFont

source, outdir, families = sys.argv[1], sys.argv[2], sys.argv[3:]
os.makedirs(outdir, exist_ok=True)
for family in families:
    font = TTFont(source)
    plain = family.replace(" ", "")
    names = {1: family, 16: family, 2: "Regular", 17: "Regular", 4: family, 6: plain, 3: plain + "-test"}
    for record in font["name"].names:
        if record.nameID in names:
            record.string = names[record.nameID]
    font.save(os.path.join(outdir, plain + ".ttf"))
