#!/usr/bin/env python3
"""Reads run-player's output on stdin and prints what the player served."""
import json
import sys

NOT_FOUND = -2146697211  # INET_E_RESOURCE_NOT_FOUND
loads = []
debug = []
title = exit_code = None
in_log = False
for line in sys.stdin:
    line = line.rstrip("\n")
    if line.startswith("title: "):
        title = line[7:]
    elif line.startswith("debug: "):
        debug.append(line[7:])
    elif line.startswith("exit: "):
        exit_code = line[6:]
    elif line == "standin-log:":
        in_log = True
    elif in_log and line.startswith("{"):
        try:
            entry = json.loads(line)
        except ValueError:
            continue
        if entry.get("call") == "Loaded":
            loads.append(entry)

print(f"window title: {title}")
print(f"{'request':58} {'answer':12} {'bytes':>8}  crc-32")
for e in sorted(loads, key=lambda e: e.get("load", 0)):
    hr = e.get("hr", 0)
    answer = "served" if hr in (0, 1) else ("not found" if hr == NOT_FOUND else f"0x{hr & 0xffffffff:08X}")
    crc = e.get("crc", "") if answer == "served" else ""
    print(f"{e.get('url', '')[:58]:58} {answer:12} {e.get('bytes', 0):>8}  {crc}")
print("player's debug output:" if debug else "player's debug output: none")
for line in debug:
    print(f"  {line}")
print(f"player exit code: {exit_code}")
sys.exit(0 if loads and exit_code == "0" else 1)
