"""What every end-to-end suite shares: its arguments and its own X server.

Tests that run beside each other must not share a screen: a capture reads the
screen, and another test's player window could lie on top of the one being
captured. Xvfb picks a free display number itself (-displayfd), so parallel
tests never race for one.
"""
import argparse
import atexit
import os
import subprocess
import sys
import unittest


def _stop_wineserver(prefix):
    # A wineserver left from an earlier run still talks to that run's display.
    env = dict(os.environ, WINEPREFIX=os.path.realpath(prefix))
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)


def start_display(prefix):
    """Starts Xvfb, points DISPLAY at it and stops both at exit."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
         "-nolisten", "tcp"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.strip():
        server.kill()
        raise RuntimeError("Xvfb did not start")
    if os.path.exists(os.path.join(prefix, "system.reg")):
        _stop_wineserver(prefix)
    os.environ["DISPLAY"] = ":" + number.decode().strip()

    def stop():
        if os.path.exists(os.path.join(prefix, "system.reg")):
            _stop_wineserver(prefix)
        server.terminate()
        server.wait()
    atexit.register(stop)


def run(module):
    """Parses the suite's arguments into module.ARGS and runs its tests."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--stub", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--pack", required=True, help="packer command line")
    parser.add_argument("--prefix", required=True)
    module.ARGS, rest = parser.parse_known_args()
    start_display(module.ARGS.prefix)
    unittest.main(module=module, argv=[sys.argv[0]] + rest, verbosity=2)
