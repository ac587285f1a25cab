#!/usr/bin/env python3
"""Draws the packer's icon with the player icon's renderer: a parcel whose
label carries the player's play triangle, so the two read as a pair."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "shell"))
import make_icon  # noqa: E402


def sample(u, v):
    if not (0.06 <= u <= 0.94 and 0.14 <= v <= 0.94):
        return None
    # lid, then the box's front
    if v < 0.32:
        return (214, 168, 104, 255)
    # tape down the middle
    if 0.44 <= u <= 0.56 and v < 0.5:
        return (238, 222, 180, 255)
    # the label: the player's colours and play triangle
    if 0.24 <= u <= 0.76 and 0.5 <= v <= 0.86:
        if 0.4 <= u <= 0.64 and abs(v - 0.68) <= (0.64 - u) * 0.62:
            return (255, 255, 255, 255)
        t = (u + v) / 2
        return (int(20 + 60 * t), int(170 - 110 * t), int(170 + 40 * t), 255)
    return (186, 134, 72, 255)


if __name__ == "__main__":
    make_icon.sample = sample
    make_icon.main(sys.argv[1])
