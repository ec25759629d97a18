#!/usr/bin/python3
"""Draws the program's logo (a yellow play triangle inside a green ring, on
the page colour) with Cairo and writes it as a PNG."""
import math
import sys

import cairo

SIZE = 192


def draw(path):
    s = cairo.ImageSurface(cairo.FORMAT_ARGB32, SIZE, SIZE)
    c = cairo.Context(s)
    # Rounded square in the card colour, so the icon reads on light and dark tabs.
    r = 40
    c.new_sub_path()
    c.arc(SIZE - r, r, r, -math.pi / 2, 0)
    c.arc(SIZE - r, SIZE - r, r, 0, math.pi / 2)
    c.arc(r, SIZE - r, r, math.pi / 2, math.pi)
    c.arc(r, r, r, math.pi, 3 * math.pi / 2)
    c.close_path()
    c.set_source_rgb(0x11 / 255, 0x1A / 255, 0x15 / 255)
    c.fill()
    # Green ring, open at the top right like a replay arrow.
    c.set_line_width(14)
    c.set_line_cap(cairo.LINE_CAP_ROUND)
    c.set_source_rgb(0x6B / 255, 0xF5 / 255, 0x9A / 255)
    c.arc(96, 96, 62, -math.pi / 2 + 0.55, -math.pi / 2 + 2 * math.pi - 0.35)
    c.stroke()
    # Arrow head at the ring's open end.
    a = -math.pi / 2 + 0.55
    x, y = 96 + 62 * math.cos(a), 96 + 62 * math.sin(a)
    c.move_to(x + 16, y - 12)
    c.line_to(x - 4, y - 2)
    c.line_to(x + 10, y + 18)
    c.close_path()
    c.fill()
    # Yellow play mark in the middle.
    c.set_source_rgb(0xF2 / 255, 0xC2 / 255, 0x30 / 255)
    c.move_to(80, 66)
    c.line_to(128, 96)
    c.line_to(80, 126)
    c.close_path()
    c.fill()
    s.write_to_png(path)


if __name__ == "__main__":
    draw(sys.argv[1])
