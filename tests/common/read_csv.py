#!/usr/bin/env python3
"""Reads a CSV export as a spreadsheet program would, with Python's csv module, and checks it:
the header no,time,value,unit,display; a whole number, an ISO 8601 time with its offset (or
nothing), a number with a decimal point (or nothing, for a reading without one, whose display
then has no digits), a unit and what the panel showed on every row. Prints the rows as
"no time value unit display" lines for the test to compare."""
import csv
import datetime
import sys

with open(sys.argv[1], newline="", encoding="utf-8") as f:
    rows = list(csv.reader(f))
assert rows[0] == ["no", "time", "value", "unit", "display"], rows[0]
for no, time, value, unit, display in rows[1:]:
    int(no)
    if time:
        t = datetime.datetime.fromisoformat(time)
        assert t.utcoffset() is not None, time
    if value:
        assert "," not in value, value
        assert abs(float(value) - float(display.replace(",", "."))) < 1e-9, (value, display)
    else:
        assert display and display.strip() == display, display
    assert unit in ("\u00b0C", "\u00b0F"), unit
    print(no, time, value, unit, display)
