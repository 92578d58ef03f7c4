#!/usr/bin/env python3
"""Reads a CSV export as a spreadsheet program would, with Python's csv module, and checks it:
the header no,time,value,unit; a whole number, an ISO 8601 time with its offset (or nothing),
a number with a decimal point (or the meter's text) and a unit on every row. Prints the rows as
"no time value unit" lines for the test to compare."""
import csv
import datetime
import sys

with open(sys.argv[1], newline="", encoding="utf-8") as f:
    rows = list(csv.reader(f))
assert rows[0] == ["no", "time", "value", "unit"], rows[0]
for no, time, value, unit in rows[1:]:
    int(no)
    if time:
        t = datetime.datetime.fromisoformat(time)
        assert t.utcoffset() is not None, time
    assert "," not in value, value
    try:
        float(value)
    except ValueError:
        assert not any(c.isdigit() for c in value), value
    assert unit in ("\u00b0C", "\u00b0F"), unit
    print(no, time, value, unit)
