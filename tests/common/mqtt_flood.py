#!/usr/bin/env python3
"""Floods a broker with what no logger sends, for the tests of a watching window.

    mqtt_flood.py PORT KIND

KIND is one of:
  big       one reading of 10 MB
  ids       20,000 logger ids with one reading each
  retained  20,000 retained junk readings under as many ids
  statuses  100,000 status messages under 2,000 ids
  future    a reading dated year 9999, then true readings of the same logger
  deep      20,000 readings under topics 40 levels deep

MQTT 3.1.1 by hand (CONNECT, then PUBLISH at QoS 0, then DISCONNECT) on 127.0.0.1, so that
nothing beyond Python is needed. Prints how many messages went out.
"""

import json
import socket
import sys
import time
from datetime import datetime, timezone


def remaining(n):
    out = bytearray()
    while True:
        byte = n % 128
        n //= 128
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def text(s):
    b = s.encode()
    return len(b).to_bytes(2, "big") + b


def connect(port):
    s = socket.create_connection(("127.0.0.1", port))
    body = text("MQTT") + bytes([4, 0x02]) + (60).to_bytes(2, "big") + text("flood-%d" % time.time_ns())
    s.sendall(bytes([0x10]) + remaining(len(body)) + body)
    ack = s.recv(4)
    if len(ack) < 4 or ack[0] != 0x20 or ack[3] != 0:
        sys.exit("the broker refused the connection: %r" % ack)
    return s


def publish(s, topic, payload, retain=False):
    if isinstance(payload, str):
        payload = payload.encode()
    body = text(topic) + payload
    s.sendall(bytes([0x30 | (1 if retain else 0)]) + remaining(len(body)) + body)


def reading(logger, when, value, no=1):
    return json.dumps({"seq": no, "no": no, "time": when, "value": value,
                       "display": "%.1f" % value, "unit": "\u00b0C", "mode": "live",
                       "id": logger})


def now():
    return datetime.now(timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")


def main():
    port, kind = int(sys.argv[1]), sys.argv[2]
    s = connect(port)
    sent = 0
    if kind == "big":
        publish(s, "tx9-logger/big/state",
                json.dumps({"time": now(), "value": 1, "display": "x" * (10 << 20), "id": "big"}))
        sent = 1
    elif kind == "ids":
        for i in range(20000):
            publish(s, "tx9-logger/flood-%d/reading" % i, reading("flood-%d" % i, now(), 20.0))
        sent = 20000
    elif kind == "retained":
        for i in range(20000):
            publish(s, "tx9-logger/junk-%d/state" % i, '{"junk":"%s"}' % ("j" * 100), retain=True)
        sent = 20000
    elif kind == "statuses":
        for i in range(100000):
            publish(s, "tx9-logger/st-%d/status" % (i % 2000), "online" if i % 2 else "offline")
        sent = 100000
    elif kind == "future":
        publish(s, "tx9-logger/ahead/reading", reading("ahead", "9999-12-31T23:59:59.000Z", 99.0))
        for i in range(5):
            time.sleep(0.2)
            publish(s, "tx9-logger/ahead/reading", reading("ahead", now(), 20.0 + i, i + 2))
        sent = 6
    elif kind == "deep":
        deep = "/".join("d%d" % i for i in range(40))
        for i in range(20000):
            publish(s, "tx9-logger/%s/x%d/reading" % (deep, i), reading("deep", now(), 20.0))
        sent = 20000
    else:
        sys.exit("unknown kind " + kind)
    s.sendall(bytes([0xE0, 0]))
    s.close()
    print(sent)


if __name__ == "__main__":
    main()
