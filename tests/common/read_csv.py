#!/usr/bin/env python3
"""Reads a CSV export as a spreadsheet program would, with Python's csv module, and checks it:
the header no,time,value,unit,display (and note, for an export with notes); a whole number, an
ISO 8601 time with its offset (or nothing), a number with a decimal point (or nothing, for a
reading without one, whose display then has no digits), a unit and what the panel showed on
every row; a line of a note alone has its time and its note. Prints the rows as
"no time value unit display" lines for the test to compare (notes alone are not rows)."""
import csv
import datetime
import sys

with open(sys.argv[1], newline="", encoding="utf-8") as f:
    rows = list(csv.reader(f))
header = ["no", "time", "value", "unit", "display"]
assert rows[0] in (header, header + ["note"]), rows[0]
for row in rows[1:]:
    assert len(row) == len(rows[0]), row
    no, time, value, unit, display = row[:5]
    if time:
        t = datetime.datetime.fromisoformat(time)
        assert t.utcoffset() is not None, time
    if len(row) == 6 and not (value or unit or display):
        assert time and row[5], row  # a note alone
        continue
    int(no)
    if value:
        assert "," not in value, value
        assert abs(float(value) - float(display.replace(",", "."))) < 1e-9, (value, display)
    else:
        assert display and display.strip() == display, display
    assert unit in ("\u00b0C", "\u00b0F"), unit
    print(no, time, value, unit, display)
