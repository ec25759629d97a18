#!/usr/bin/python3
"""Draws game-like screen frames with the game's HUD on them, for the
detector's tests and its accuracy figure. Everything is drawn here with Cairo
and Pango from open fonts: busy backgrounds (sky, generated mountain ridges,
buildings, foliage, glare, noise) and the HUD's texts at the places the
detector reads. Every frame comes with a truth record that says what it shows.

    hud_frames.py scene NAME --height 1080 --out DIR [--seed N] [--width W]
        one named test frame: DIR/NAME_H.png and DIR/NAME_H.json
    hud_frames.py set --count 200 --blank 50 --out DIR [--seed N]
        a varied set (720p to 1440p) with DIR/manifest.json listing every frame;
        each frame's "traits" name what makes it hard (font, sky, text effect,
        plate, blur, upscaling, name shape, countdown at the top)
    hud_frames.py check DIR
        reads each frame's HUD texts back with the tesseract command (a quick
        legibility check of the drawing, not a test of the program)

Coordinates below are written for a 1920 x 1080 screen and scale with the
height around the screen's centre, as the game's HUD does.
"""
import argparse
import json
import math
import os
import random
import subprocess
import sys
import tempfile

import numpy as np
import cairo
import gi

gi.require_version("Pango", "1.0")
gi.require_version("PangoCairo", "1.0")
from gi.repository import Pango, PangoCairo  # noqa: E402

FONTS = ["DejaVu Sans Condensed Bold", "Liberation Sans Bold", "DejaVu Sans Bold",
         "Liberation Sans Narrow Bold"]
# Faces the detector was never tuned on (Debian's fonts-roboto-unhinted,
# fonts-open-sans, fonts-lato, fonts-noto-core, fonts-league-spartan,
# fonts-urw-base35).
OTHER_FONTS = ["Roboto Bold", "Roboto Condensed Bold", "Open Sans Bold", "Lato Heavy",
               "Noto Sans Bold", "League Spartan Bold", "URW Gothic Demi", "Nimbus Sans Bold",
               "Nimbus Sans Narrow Bold", "Lato Black"]
# How the HUD's texts stand out from the picture.
EFFECTS = ["sombra", "contorno", "brillo", "nada"]

WHITE = (1.0, 1.0, 1.0)
YELLOW = (1.0, 0.86, 0.16)
RED = (0.93, 0.22, 0.20)
GREY = (0.72, 0.74, 0.76)
CYAN = (0.45, 0.85, 1.0)

# Player names as the game prints them: accents, digits, underscores, dots,
# hyphens, clan tags. None of them holds a word the classifier looks for.
NAMES = [
    "SHADOWFOX", "NIGHTOWL", "ÁLVARO_77", "NIÑO.OSCURO", "ZOË-RAVEN", "JÖRG99", "CAFÉ_TOXICO",
    "LOBO.GRIS", "MÜLLER_X", "PEÑAFIEL", "RÅNGSTRÖM", "BJØRN_44", "TOMÁS-R", "GRAVEDIGGR",
    "VORTEX_21", "EL.CHAPULIN", "IRONWOLF", "CORSARIO", "DELTA.NUEVE", "XAVI_PUMA",
    "ÉMILE.B", "FALCO_3000", "CÓNDOR", "PANDA-ROJO", "SØREN.K", "YUKI_HANA", "MAGNETAR",
    "ÚRSULA-8", "OZZY.GARCÍA", "QUANTUMRAY", "HÉCTOR_LP", "BRUMA_NEGRA", "TIGRE.BLANCO",
    "ÑANDÚ_22", "KRAKEN.IV", "RAYO_VERDE", "GÜERO-13", "MANTIS.X", "ZÁFIRO", "OCELOTE_9",
]
GAMERTAG = "PLAYERONE"
PLACES = ["COPPERTON", "HARBOR DOCKS", "OLD TOWN", "QUARRY", "LIGHTHOUSE", "DOWNTOWN",
          "FARMLAND", "AIRPORT", "STADIUM", "PROMENADE", "MILITARY BASE", "HILLSIDE"]
MEDALS = ["HEADSHOT", "LONGSHOT", "POINT BLANK", "BACKSTAB", "REVENGE", "FIRST BLOOD",
          "DOUBLE KILL", "QUICKDRAW", "COLLATERAL"]
RANKS = ["PRIVATE", "CORPORAL", "SERGEANT", "LIEUTENANT", "CAPTAIN", "COLONEL", "COMMANDER"]
WEAPONS = ["ASSAULT RIFLE", "SUBMACHINE GUN", "SNIPER RIFLE", "SHOTGUN", "LMG",
           "MARKSMAN RIFLE", "BATTLE RIFLE", "PISTOL"]
ATTACHMENTS = ["RED DOT + GRIP", "SUPPRESSOR + LASER", "EXTENDED MAG + STOCK",
               "HOLO SIGHT + BARREL", "SCOPE + BIPOD"]
ORDINALS = {1: "1ST", 2: "2ND", 3: "3RD"}
MODES = [("RESURGENCE QUADS", "Resurgimiento Quads"), ("BATTLE ROYALE", "Battle Royale"),
         ("PLUNDER", "Plunder")]
MAPS = ["COPPER HARBOR", "VERDANSK", "NORTH RIDGE", "SALT FLATS"]
MENU_WORDS = ["OPERATORS", "WEAPONS", "STORE", "BATTLE PASS", "CAREER"]
SIZES = [(1280, 720), (1600, 900), (1920, 1080), (2560, 1080), (2560, 1440)]
SET_SIZES = [(1280, 720), (1920, 1080), (2560, 1440)]
SYLLABLES = ["ba", "ex", "fa", "gol", "rud", "que", "wix", "jax", "ma", "be", "ko", "nid",
             "wal", "xan", "vo", "ri", "ta", "zu", "mel", "dor", "kin", "sa", "tor", "lu"]
ACCENTED = "ÁÉÍÓÚÄËÏÖÜÂÊÎÔÛÀÈÌÒÙÑÇ"


def made_name(rng):
    """A player name no list holds: syllables, then maybe digits, an
    underscore, accents or lower case, as players type them."""
    word = "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(2, 4))).upper()
    traits = []
    if rng.random() < 0.35:
        i = rng.randrange(len(word))
        word = word[:i] + rng.choice(ACCENTED) + word[i + 1:]
        traits.append("acentos")
    if rng.random() < 0.3:
        word += "_" + "".join(rng.choice(SYLLABLES) for _ in range(2)).upper()
        traits.append("guion_bajo")
    if rng.random() < 0.5:
        word += str(rng.choice([rng.randint(1, 99), rng.randint(1950, 2010)]))
        traits.append("digitos")
    if rng.random() < 0.25:
        word = word[0] + word[1:].lower()
        traits.append("minusculas")
    return word, traits


def ordinal(n):
    return ORDINALS.get(n, "%dTH" % n)


# ---- Backgrounds ------------------------------------------------------------

def ridge(rng, n, rough):
    """A mountain ridge by midpoint displacement: n+1 heights in 0..1."""
    size = 1
    while size < n:
        size *= 2
    h = [0.0] * (size + 1)
    h[0], h[size] = rng.random(), rng.random()
    step, amp = size, 1.0
    while step > 1:
        half = step // 2
        for i in range(half, size, step):
            h[i] = (h[i - half] + h[i + half]) / 2 + (rng.random() - 0.5) * amp
        step, amp = half, amp * rough
    lo, hi = min(h), max(h)
    return [(v - lo) / (hi - lo or 1) for v in h[:n + 1]]


def draw_landscape(cr, w, h, rng):
    top = (rng.uniform(0.2, 0.6), rng.uniform(0.35, 0.7), rng.uniform(0.6, 1.0))
    low = (rng.uniform(0.7, 1.0), rng.uniform(0.6, 0.9), rng.uniform(0.4, 0.8))
    sky = cairo.LinearGradient(0, 0, 0, h * 0.6)
    sky.add_color_stop_rgb(0, *top)
    sky.add_color_stop_rgb(1, *low)
    cr.set_source(sky)
    cr.paint()
    # The sun and its glare.
    sx, sy = rng.uniform(0, w), rng.uniform(0, h * 0.4)
    glare = cairo.RadialGradient(sx, sy, 0, sx, sy, h * rng.uniform(0.2, 0.6))
    glare.add_color_stop_rgba(0, 1, 1, 0.95, 0.95)
    glare.add_color_stop_rgba(1, 1, 1, 0.9, 0)
    cr.set_source(glare)
    cr.paint()
    # Ridges, far to near, darker and lower.
    layers = rng.randint(2, 4)
    for k in range(layers):
        pts = ridge(rng, 64, rng.uniform(0.45, 0.65))
        base = h * (0.35 + 0.15 * k)
        amp = h * rng.uniform(0.12, 0.3)
        shade = 0.55 - 0.15 * k
        cr.move_to(0, h)
        for i, v in enumerate(pts):
            cr.line_to(w * i / 64, base - v * amp)
        cr.line_to(w, h)
        cr.close_path()
        cr.set_source_rgb(shade * rng.uniform(0.6, 1.0), shade * rng.uniform(0.7, 1.1),
                          shade * rng.uniform(0.5, 0.9))
        cr.fill()
    # Ground with grass or sand.
    g = cairo.LinearGradient(0, h * 0.7, 0, h)
    g.add_color_stop_rgba(0, rng.uniform(0.2, 0.5), rng.uniform(0.25, 0.45), 0.15, 0.9)
    g.add_color_stop_rgba(1, rng.uniform(0.1, 0.3), rng.uniform(0.1, 0.3), 0.08, 1.0)
    cr.set_source(g)
    cr.rectangle(0, h * 0.72, w, h * 0.28)
    cr.fill()


def draw_city(cr, w, h, rng):
    cr.set_source_rgb(rng.uniform(0.3, 0.7), rng.uniform(0.35, 0.7), rng.uniform(0.5, 0.9))
    cr.paint()
    x = -rng.uniform(0, 80)
    while x < w:
        bw = rng.uniform(0.05, 0.2) * h
        bh = rng.uniform(0.25, 0.85) * h
        c = rng.uniform(0.15, 0.75)
        cr.set_source_rgb(c, c * rng.uniform(0.85, 1.1), c * rng.uniform(0.8, 1.2))
        cr.rectangle(x, h - bh, bw, bh)
        cr.fill()
        # Windows, some lit.
        ww = max(2.0, bw / 8)
        for wy in np.arange(h - bh + ww, h - ww, ww * 2.2):
            for wx in np.arange(x + ww, x + bw - ww, ww * 2):
                lit = rng.random() < 0.3
                cr.set_source_rgb(*((0.95, 0.9, 0.6) if lit else (0.1, 0.12, 0.15)))
                cr.rectangle(wx, wy, ww, ww * 1.3)
                cr.fill()
        x += bw + rng.uniform(0, 0.05) * h


def draw_interior(cr, w, h, rng):
    cr.set_source_rgb(0.08, 0.08, 0.09)
    cr.paint()
    for _ in range(rng.randint(3, 8)):  # lamps
        lx, ly = rng.uniform(0, w), rng.uniform(0, h)
        r = h * rng.uniform(0.05, 0.4)
        lamp = cairo.RadialGradient(lx, ly, 0, lx, ly, r)
        lamp.add_color_stop_rgba(0, rng.uniform(0.6, 1), rng.uniform(0.5, 0.9),
                                 rng.uniform(0.3, 0.8), 0.9)
        lamp.add_color_stop_rgba(1, 0, 0, 0, 0)
        cr.set_source(lamp)
        cr.paint()
    for _ in range(rng.randint(10, 30)):  # crates, walls, pipes
        c = rng.uniform(0.1, 0.5)
        cr.set_source_rgba(c, c * 0.9, c * 0.7, rng.uniform(0.5, 1))
        cr.rectangle(rng.uniform(-0.1, 1) * w, rng.uniform(0, 1) * h,
                     rng.uniform(0.02, 0.3) * w, rng.uniform(0.02, 0.3) * h)
        cr.fill()


def draw_clutter(cr, w, h, rng):
    """Foliage, debris and smoke over any scene."""
    for _ in range(rng.randint(20, 120)):
        cr.set_source_rgba(rng.uniform(0, 0.4), rng.uniform(0.1, 0.5), rng.uniform(0, 0.3),
                           rng.uniform(0.3, 0.9))
        cx, cy, r = rng.uniform(0, w), rng.uniform(h * 0.4, h), h * rng.uniform(0.005, 0.04)
        cr.arc(cx, cy, r, 0, 2 * math.pi)
        cr.fill()
    for _ in range(rng.randint(0, 4)):  # smoke
        sx, sy = rng.uniform(0, w), rng.uniform(0, h)
        r = h * rng.uniform(0.1, 0.3)
        s = cairo.RadialGradient(sx, sy, 0, sx, sy, r)
        v = rng.uniform(0.5, 0.85)
        s.add_color_stop_rgba(0, v, v, v, 0.6)
        s.add_color_stop_rgba(1, v, v, v, 0)
        cr.set_source(s)
        cr.paint()


def add_noise(surface, w, h, rng, amount):
    """Sensor-like grain over the whole frame."""
    surface.flush()
    stride = surface.get_stride()
    buf = np.ndarray(shape=(h, stride // 4, 4), dtype=np.uint8, buffer=surface.get_data())
    gen = np.random.default_rng(rng.randrange(1 << 30))
    noise = gen.normal(0, amount, size=(h, w, 1))
    px = buf[:, :w, :3].astype(np.int16) + noise.astype(np.int16)
    buf[:, :w, :3] = np.clip(px, 0, 255).astype(np.uint8)
    surface.mark_dirty()


def draw_snow(cr, w, h, rng):
    """A bright, snowy scene: a white-blue sky, snowfields and a few dark
    rocks and trees; the HUD's white text has little to stand out from."""
    sky = cairo.LinearGradient(0, 0, 0, h * 0.5)
    sky.add_color_stop_rgb(0, rng.uniform(0.75, 0.9), rng.uniform(0.85, 0.95), 1.0)
    sky.add_color_stop_rgb(1, 0.95, 0.96, 0.98)
    cr.set_source(sky)
    cr.paint()
    for k in range(rng.randint(2, 3)):
        pts = ridge(rng, 64, rng.uniform(0.45, 0.65))
        base, amp = h * (0.4 + 0.12 * k), h * rng.uniform(0.1, 0.25)
        cr.move_to(0, h)
        for i, v in enumerate(pts):
            cr.line_to(w * i / 64, base - v * amp)
        cr.line_to(w, h)
        cr.close_path()
        v = rng.uniform(0.88, 1.0)
        cr.set_source_rgb(v, v, min(1.0, v + 0.03))
        cr.fill()
    for _ in range(rng.randint(5, 40)):  # rocks and trees
        c = rng.uniform(0.1, 0.4)
        cr.set_source_rgb(c, c * 1.05, c)
        x, y = rng.uniform(0, w), rng.uniform(h * 0.45, h)
        cr.rectangle(x, y, h * rng.uniform(0.005, 0.04), h * rng.uniform(0.01, 0.08))
        cr.fill()


def draw_texture(cr, w, h, rng):
    """A busy texture of small light and dark strokes (gravel, leaves,
    rubble) all over the screen."""
    c = rng.uniform(0.3, 0.6)
    cr.set_source_rgb(c, c * rng.uniform(0.9, 1.1), c * rng.uniform(0.8, 1.0))
    cr.paint()
    for _ in range(int(3000 * w * h / (1920 * 1080))):
        v = rng.uniform(0.05, 0.95)
        cr.set_source_rgba(v, v * rng.uniform(0.85, 1.05), v * rng.uniform(0.8, 1.0), 0.8)
        x, y = rng.uniform(0, w), rng.uniform(0, h)
        cr.move_to(x, y)
        cr.line_to(x + rng.uniform(-1, 1) * h * 0.02, y + rng.uniform(-1, 1) * h * 0.02)
        cr.set_line_width(max(1.0, h * rng.uniform(0.001, 0.005)))
        cr.stroke()


BACKGROUNDS = {"paisaje": draw_landscape, "ciudad": draw_city, "interior": draw_interior,
               "nieve": draw_snow, "textura": draw_texture}


# ---- HUD elements -------------------------------------------------------------

class Hud:
    def __init__(self, cr, w, h, font, effect="sombra"):
        self.cr, self.w, self.h, self.font = cr, w, h, font
        self.effect = effect
        self.s = h / 1080.0
        self.cx = w / 2.0

    def text(self, text, x, y_centre, px, colour, anchor="centre", shadow=True):
        """Draws `text` with its vertical centre at y_centre (1080p units are
        already scaled by the caller); returns its pixel extents."""
        cr = self.cr
        layout = PangoCairo.create_layout(cr)
        desc = Pango.FontDescription.from_string(self.font)
        desc.set_absolute_size(px * Pango.SCALE)
        layout.set_font_description(desc)
        layout.set_text(text, -1)
        ink, logical = layout.get_pixel_extents()
        left = x - ink.width / 2 if anchor == "centre" else x
        left -= ink.x
        top = y_centre - ink.height / 2 - ink.y
        effect = self.effect if shadow else "nada"
        if effect == "sombra":
            # The drop shadow the game gives its HUD texts.
            cr.set_source_rgba(0, 0, 0, 0.75)
            cr.move_to(left + max(1, px / 14), top + max(1, px / 14))
            PangoCairo.show_layout(cr, layout)
        elif effect == "contorno":
            cr.move_to(left, top)
            PangoCairo.layout_path(cr, layout)
            cr.set_source_rgba(0, 0, 0, 0.9)
            cr.set_line_width(max(1.5, px / 9))
            cr.set_line_join(cairo.LINE_JOIN_ROUND)
            cr.stroke()
        elif effect == "brillo":
            # A soft halo of the text's own colour around it.
            for r in range(3, 0, -1):
                cr.move_to(left, top)
                PangoCairo.layout_path(cr, layout)
                cr.set_source_rgba(*colour, 0.12)
                cr.set_line_width(r * max(1.0, px / 10))
                cr.set_line_join(cairo.LINE_JOIN_ROUND)
                cr.stroke()
        cr.set_source_rgb(*colour)
        cr.move_to(left, top)
        PangoCairo.show_layout(cr, layout)
        return (left + ink.x, top + ink.y, ink.width, ink.height)

    def plate(self, x, y, width, height, alpha):
        """The dark translucent plate the game puts behind its cards."""
        g = cairo.LinearGradient(x, 0, x + width, 0)
        g.add_color_stop_rgba(0, 0, 0, 0, 0)
        g.add_color_stop_rgba(0.15, 0.02, 0.03, 0.05, alpha)
        g.add_color_stop_rgba(0.85, 0.02, 0.03, 0.05, alpha)
        g.add_color_stop_rgba(1, 0, 0, 0, 0)
        self.cr.set_source(g)
        self.cr.rectangle(x, y, width, height)
        self.cr.fill()

    def X(self, dx):
        return self.cx + dx * self.s

    def Y(self, y):
        return y * self.s

    def compass(self, heading):
        s, cr = self.s, self.cr
        cr.set_source_rgba(0, 0, 0, 0.35)
        cr.rectangle(self.X(-300), self.Y(6), 600 * s, 30 * s)
        cr.fill()
        cr.set_source_rgba(1, 1, 1, 0.8)
        for i in range(-12, 13):  # ticks
            x = self.X(i * 24)
            cr.rectangle(x, self.Y(30), max(1, 2 * s), (6 if i % 4 else 10) * s)
            cr.fill()
        points = ["N", "NE", "E", "SE", "S", "SW", "W", "NW"]
        k = points.index(heading)
        words = "   ".join([points[(k - 1) % 8], points[k], points[(k + 1) % 8]])
        self.text(words, self.X(0), self.Y(20), 18 * s, WHITE)

    def place(self, name):
        self.text(name, self.X(0), self.Y(54), 20 * self.s, WHITE)

    def killcam(self, final):
        self.text("FINAL KILLCAM" if final else "KILLCAM", self.X(0), self.Y(112), 40 * self.s,
                  WHITE)

    def medal(self, name):
        s, cr = self.s, self.cr
        # The medal's emblem, a shield in the medal's colour.
        cr.set_source_rgb(0.85, 0.6, 0.15)
        cr.move_to(self.X(-24), self.Y(160))
        cr.line_to(self.X(24), self.Y(160))
        cr.line_to(self.X(24), self.Y(200))
        cr.line_to(self.X(0), self.Y(222))
        cr.line_to(self.X(-24), self.Y(200))
        cr.close_path()
        cr.fill()
        self.text(name, self.X(0), self.Y(252), 30 * s, YELLOW)

    def menu_tabs(self, words):
        s = self.s
        step = 220
        x0 = -step * (len(words) - 1) / 2
        self.cr.set_source_rgba(0, 0, 0, 0.55)
        self.cr.rectangle(0, self.Y(20), self.w, 44 * s)
        self.cr.fill()
        for i, wd in enumerate(words):
            self.text(wd, self.X(x0 + i * step), self.Y(42), 22 * s, WHITE)

    def kill_card(self, victim, kill_number, level, plate):
        s = self.s
        cr = self.cr
        if plate:
            self.plate(self.X(-420), self.Y(770), 840 * s, 250 * s, plate)
        if kill_number:
            self.text("%s KILL" % ordinal(kill_number), self.X(0), self.Y(800), 26 * s, YELLOW)
        self.text("ELIMINATED " + victim, self.X(0), self.Y(848), 32 * s, WHITE)
        # The victim's calling card, a blue banner, and under it the level
        # badge: a grey chevron beside the number. Neither colour survives the
        # band's binarisation; the number does.
        banner = cairo.LinearGradient(self.X(-200), 0, self.X(200), 0)
        banner.add_color_stop_rgb(0, 0.10, 0.22, 0.45)
        banner.add_color_stop_rgb(1, 0.20, 0.40, 0.70)
        cr.set_source(banner)
        cr.rectangle(self.X(-200), self.Y(878), 400 * s, 72 * s)
        cr.fill()
        if level:
            cr.set_source_rgb(0.45, 0.5, 0.55)
            cr.rectangle(self.X(-62), self.Y(972), 30 * s, 28 * s)
            cr.fill()
            self.text(str(level), self.X(0), self.Y(986), 24 * s, WHITE)

    def death_card(self, killer, rank, level, weapon, attachments, plate):
        s = self.s
        if plate:
            self.plate(self.X(-440), self.Y(772), 880 * s, 220 * s, plate)
        self.text("KILLED BY " + killer, self.X(0), self.Y(800), 30 * s, RED)
        y = 842
        if rank:
            self.text(rank, self.X(0), self.Y(y), 20 * s, WHITE)
            y += 34
        if level:
            self.text(str(level), self.X(0), self.Y(y), 22 * s, YELLOW)
            y += 36
        if weapon:
            self.text(weapon, self.X(0), self.Y(y), 22 * s, WHITE)
            y += 36
        if attachments:
            self.text(attachments, self.X(0), self.Y(y), 18 * s, WHITE)
        self.text("REPORT PLAYER", self.X(380), self.Y(1040), 18 * s, WHITE)

    def countdown(self, seconds):
        """The lobby's countdown at the top of the screen, yellow with a drop
        shadow."""
        self.text("DEPLOYMENT BEGINS IN 0:%02d" % seconds, self.X(0), self.Y(150), 34 * self.s,
                  YELLOW)

    def deployment(self, seconds):
        self.text("DEPLOYMENT WILL BEGIN IN %d" % seconds, self.X(0), self.Y(830), 30 * self.s,
                  WHITE)

    def match_start(self):
        self.text("ENTERING THE WARZONE", self.X(0), self.Y(830), 36 * self.s, WHITE)

    def attackers(self, count, plate):
        if plate:
            self.cr.set_source_rgba(0.02, 0.03, 0.05, plate)
            self.cr.rectangle(self.X(410), self.Y(278), 220 * self.s, 44 * self.s)
            self.cr.fill()
        self.text("ATTACKERS %d" % count, self.X(520), self.Y(300), 26 * self.s, WHITE)

    def killfeed(self, rows):
        s, cr = self.s, self.cr
        left = max(0.0, self.cx - 0.97 * self.h) + 30 * s
        for i, (killer, victim) in enumerate(rows):
            y = self.Y(430 + 38 * i)
            cr.set_source_rgba(0, 0, 0, 0.45)
            cr.rectangle(left - 8 * s, y - 16 * s, 620 * s, 32 * s)
            cr.fill()
            box = self.text(killer, left, y, 20 * s, CYAN if killer == GAMERTAG else WHITE,
                            anchor="left")
            # The weapon's icon between the two names.
            gx = box[0] + box[2] + 40 * s
            cr.set_source_rgb(0.8, 0.8, 0.8)
            cr.rectangle(gx, y - 5 * s, 70 * s, 9 * s)
            cr.rectangle(gx + 10 * s, y, 12 * s, 14 * s)
            cr.fill()
            self.text(victim, gx + 150 * s, y, 20 * s,
                      CYAN if victim == GAMERTAG else RED, anchor="left")

    def menu_selection(self, mode, map_name):
        s = self.s
        left = max(0.0, self.cx - 0.89 * self.h) + 60 * s
        self.cr.set_source_rgba(0, 0, 0, 0.5)
        self.cr.rectangle(left - 20 * s, self.Y(670), 560 * s, 110 * s)
        self.cr.fill()
        self.text(mode, left, self.Y(700), 30 * s, WHITE, anchor="left")
        if map_name:
            self.text(map_name, left, self.Y(745), 22 * s, GREY, anchor="left")


# ---- One frame ----------------------------------------------------------------

def render(desc, png_path):
    """Draws the frame described by `desc` into png_path; returns the truth
    record (what the frame shows)."""
    w, h = desc["width"], desc["height"]
    rng = random.Random(desc["seed"])
    surface = cairo.ImageSurface(cairo.FORMAT_RGB24, w, h)
    cr = cairo.Context(surface)
    BACKGROUNDS[desc["background"]](cr, w, h, rng)
    draw_clutter(cr, w, h, rng)
    add_noise(surface, w, h, rng, desc.get("noise", 6.0))
    cr = cairo.Context(surface)
    hud = Hud(cr, w, h, desc.get("font", FONTS[0]), desc.get("effect", "sombra"))
    el = desc.get("hud", {})
    if "compass" in el:
        hud.compass(el["compass"])
    if "place" in el:
        hud.place(el["place"])
    if "menu_tabs" in el:
        hud.menu_tabs(el["menu_tabs"])
    if "killcam" in el:
        hud.killcam(el["killcam"] == "final")
    if "medal" in el:
        hud.medal(el["medal"])
    if "kill_card" in el:
        k = el["kill_card"]
        hud.kill_card(k["victim"], k.get("kill_number"), k.get("level"), k.get("plate", 0.6))
    if "death_card" in el:
        d = el["death_card"]
        hud.death_card(d["killer"], d.get("rank"), d.get("level"), d.get("weapon"),
                       d.get("attachments"), d.get("plate", 0.6))
    if "deployment" in el:
        hud.deployment(el["deployment"])
    if "countdown" in el:
        hud.countdown(el["countdown"])
    if "match_start" in el:
        hud.match_start()
    if "attackers" in el:
        hud.attackers(el["attackers"], el.get("attackers_plate", 0))
    if "killfeed" in el:
        hud.killfeed(el["killfeed"])
    if "menu_selection" in el:
        m = el["menu_selection"]
        hud.menu_selection(m["mode"], m.get("map"))
    if desc.get("upscale"):
        surface = upscaled(surface, w, h, desc["upscale"])
    if desc.get("blur"):
        blur(surface, w, h, desc["blur"])
    surface.write_to_png(png_path)
    return truth_of(desc)


def upscaled(surface, w, h, factor):
    """The frame as a game renders it below the screen's size and stretches
    it: drawn down by `factor`, then scaled back up with a bilinear filter."""
    sw, sh = max(1, int(w * factor)), max(1, int(h * factor))
    small = cairo.ImageSurface(cairo.FORMAT_RGB24, sw, sh)
    cr = cairo.Context(small)
    cr.scale(sw / w, sh / h)
    cr.set_source_surface(surface, 0, 0)
    cr.get_source().set_filter(cairo.FILTER_GOOD)
    cr.paint()
    big = cairo.ImageSurface(cairo.FORMAT_RGB24, w, h)
    cr = cairo.Context(big)
    cr.scale(w / sw, h / sh)
    cr.set_source_surface(small, 0, 0)
    cr.get_source().set_filter(cairo.FILTER_BILINEAR)
    cr.paint()
    return big


def blur(surface, w, h, sigma):
    """A slight Gaussian blur over the whole frame (motion, depth of field,
    a soft upscaler)."""
    surface.flush()
    stride = surface.get_stride()
    buf = np.ndarray(shape=(h, stride // 4, 4), dtype=np.uint8, buffer=surface.get_data())
    r = max(1, int(math.ceil(sigma * 3)))
    k = np.exp(-0.5 * (np.arange(-r, r + 1) / sigma) ** 2)
    k /= k.sum()
    px = buf[:, :w, :3].astype(np.float32)
    pad = np.pad(px, ((0, 0), (r, r), (0, 0)), mode="edge")
    px = sum(k[i] * pad[:, i:i + w, :] for i in range(2 * r + 1))
    pad = np.pad(px, ((r, r), (0, 0), (0, 0)), mode="edge")
    px = sum(k[i] * pad[i:i + h, :, :] for i in range(2 * r + 1))
    buf[:, :w, :3] = np.clip(px + 0.5, 0, 255).astype(np.uint8)
    surface.mark_dirty()


def plain(text):
    """The name without its accents, as an English reader may give it."""
    import unicodedata
    return "".join(c for c in unicodedata.normalize("NFKD", text)
                   if not unicodedata.combining(c))


def truth_of(desc):
    """The events a frame shows, as the detector should report them."""
    el = desc.get("hud", {})
    events = []
    if "deployment" in el or "countdown" in el:
        events.append({"tipo": "lobby"})
    if "match_start" in el:
        events.append({"tipo": "partida"})
    if "menu_tabs" in el and "menu_selection" in el:
        m = el["menu_selection"]
        events.append({"tipo": "menu", "modo": dict(MODES)[m["mode"]],
                       "mapa": m["map"].title() if m.get("map") else None})
    if "kill_card" in el:
        k = el["kill_card"]
        events.append({"tipo": "baja", "enemigo": k["victim"],
                       "enemigo_plano": plain(k["victim"]), "nivel": k.get("level"),
                       "baja_en_partida": k.get("kill_number"),
                       "medallas": [el["medal"]] if "medal" in el else [],
                       "lugar": el.get("place")})
    if "death_card" in el or "killcam" in el:
        d = el.get("death_card", {})
        events.append({"tipo": "muerte", "enemigo": d.get("killer"),
                       "enemigo_plano": plain(d["killer"]) if "killer" in d else None,
                       "rango": d.get("rank"),
                       "nivel": d.get("level"), "atacantes": el.get("attackers")})
    for killer, victim in el.get("killfeed", []):
        if killer == GAMERTAG:
            events.append({"tipo": "baja", "enemigo": victim, "enemigo_plano": plain(victim),
                           "nivel": None, "fuente": "killfeed"})
    return {"width": desc["width"], "height": desc["height"], "seed": desc["seed"],
            "background": desc["background"], "font": desc.get("font", FONTS[0]),
            "hud": el, "events": events, "traits": desc.get("traits", [])}


# ---- Named test frames --------------------------------------------------------

def named_scene(name, width, height, seed):
    base = {"width": width, "height": height, "seed": seed, "background": "paisaje",
            "font": FONTS[0]}
    scenes = {
        "vacio": {},
        "baja": {"compass": "N", "place": "COPPERTON", "medal": "HEADSHOT",
                 "kill_card": {"victim": "SHADOWFOX", "kill_number": 2, "level": 57}},
        "baja_otra": {"compass": "N", "place": "COPPERTON",
                      "kill_card": {"victim": "EMBERLYNX", "kill_number": 3, "level": 31}},
        # A bright snowy scene behind a see-through plate: the binarised band
        # is mostly black around the card's text.
        "baja_nieve": {"compass": "N",
                       "kill_card": {"victim": "FABEX_1988", "kill_number": 2, "level": 57,
                                     "plate": 0.3}},
        "muerte": {"compass": "NE", "killcam": "normal", "attackers": 3,
                   "death_card": {"killer": "NIGHTOWL", "rank": "CAPTAIN", "level": 42,
                                  "weapon": "ASSAULT RIFLE", "attachments": "RED DOT + GRIP"}},
        "lobby": {"deployment": 12},
        "partida": {"match_start": True},
        "menu": {"menu_tabs": ["OPERATORS", "WEAPONS", "STORE", "CAREER"],
                 "menu_selection": {"mode": "RESURGENCE QUADS", "map": "COPPER HARBOR"}},
        "killfeed": {"compass": "W",
                     "killfeed": [[GAMERTAG, "SHADOWFOX"], ["NIGHTOWL", "EMBERLYNX"]]},
    }
    if name not in scenes:
        raise SystemExit("escena desconocida: %s (hay: %s)" % (name, ", ".join(scenes)))
    base["hud"] = scenes[name]
    if name == "baja_nieve":
        base.update(background="nieve", font="Roboto Bold")
    return base


# ---- The varied set -----------------------------------------------------------

def random_scene(rng, seed, kind):
    """A frame of `kind` with a draw of every trait; the traits it got are
    listed in desc["traits"]."""
    w, h = rng.choice(SET_SIZES)
    font = rng.choice(FONTS + OTHER_FONTS)
    desc = {"width": w, "height": h, "seed": seed,
            "background": rng.choice(list(BACKGROUNDS)), "font": font,
            "effect": rng.choice(EFFECTS), "noise": rng.uniform(3, 12)}
    traits = ["alto_%d" % h, "fondo_" + desc["background"], "efecto_" + desc["effect"],
              "fuente_propia" if font in FONTS else "fuente_ajena"]
    if rng.random() < 0.2:
        desc["blur"] = rng.uniform(0.6, 1.2)
        traits.append("desenfoque")
    if rng.random() < 0.2:
        desc["upscale"] = rng.choice([0.5, 0.67, 0.75])
        traits.append("escalado")
    el = {}
    if kind != "vacio" and rng.random() < 0.7:
        el["compass"] = rng.choice(["N", "NE", "E", "SE", "S", "SW", "W", "NW"])
        if rng.random() < 0.7:
            el["place"] = rng.choice(PLACES)
    plate = rng.choice([0, 0.3, 0.45, 0.6, 0.75])
    if kind in ("baja", "muerte"):
        traits.append("placa" if plate else "sin_placa")

    def name():
        if rng.random() < 0.5:
            n = rng.choice(NAMES)
            return n, ["acentos"] if plain(n) != n else []
        return made_name(rng)

    if kind == "baja":
        victim, nt = name()
        traits += ["nombre_" + t for t in nt]
        el["kill_card"] = {"victim": victim,
                           "kill_number": rng.choice([None, 1, 2, 3, 4, 7, 12]),
                           "level": rng.choice([None, rng.randint(1, 250)]), "plate": plate}
        if rng.random() < 0.5:
            el["medal"] = rng.choice(MEDALS)
    elif kind == "muerte":
        killer, nt = name()
        traits += ["nombre_" + t for t in nt]
        el["killcam"] = "normal"
        el["death_card"] = {"killer": killer, "rank": rng.choice([None] + RANKS),
                            "level": rng.choice([None, rng.randint(1, 250)]),
                            "weapon": rng.choice(WEAPONS),
                            "attachments": rng.choice([None] + ATTACHMENTS), "plate": plate}
        if rng.random() < 0.5:
            el["attackers"] = rng.randint(1, 5)
            el["attackers_plate"] = rng.choice([0, 0.4, 0.6])
    elif kind == "lobby":
        if rng.random() < 0.5:
            el["countdown"] = rng.randint(1, 59)
            traits.append("cuenta_arriba")
        else:
            el["deployment"] = rng.randint(1, 60)
    elif kind == "menu":
        el["menu_tabs"] = rng.sample(MENU_WORDS, rng.randint(3, 5))
        el["menu_selection"] = {"mode": rng.choice(MODES)[0], "map": rng.choice(MAPS)}
        el.pop("compass", None)
        el.pop("place", None)
    elif kind == "killfeed":
        victim = rng.choice(NAMES)
        other = [n for n in NAMES if n != victim]
        rows = [[GAMERTAG, victim]]
        for _ in range(rng.randint(0, 3)):
            a, b = rng.sample(other, 2)
            rows.insert(rng.randint(0, len(rows)), [a, b])
        el["killfeed"] = rows
    desc["hud"] = el
    desc["traits"] = traits
    return desc


def make_set(out, count, blank, seed):
    rng = random.Random(seed)
    kinds = ["baja"] * 5 + ["muerte"] * 3 + ["lobby", "menu", "killfeed", "killfeed"]
    frames = []
    for i in range(count + blank):
        kind = rng.choice(kinds) if i < count else "vacio"
        desc = random_scene(rng, seed * 100000 + i, kind)
        name = "%04d_%s.png" % (i, kind)
        truth = render(desc, os.path.join(out, name))
        truth["file"] = name
        truth["kind"] = kind
        frames.append(truth)
    with open(os.path.join(out, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump({"seed": seed, "gamertag": GAMERTAG, "frames": frames}, f, ensure_ascii=False,
                  indent=1)


# ---- Legibility check ---------------------------------------------------------

def regions(w, h):
    """The detector's regions (x, y, width, height) as it computes them, roughly."""
    cx = w / 2
    def box(l, t, r, b):
        l, t = max(0, int(l)), max(0, int(t))
        return (l, t, max(16, int(min(w, r)) - l), int(min(h, b)) - t)
    return {
        "arriba": box(cx - 0.35 * h, 0, cx + 0.35 * h, 0.3 * h),
        "abajo": box(cx - 0.65 * h, 0.7 * h, cx + 0.65 * h, h),
        "derecha": box(cx + 0.3 * h, 0.1 * h, cx + 1.1 * h, 0.55 * h),
        "killfeed": box(cx - 0.97 * h, 0.28 * h, cx - 0.1 * h, 0.68 * h),
        "menu": box(cx - 0.89 * h, 0.55 * h, cx - 0.15 * h, 0.85 * h),
    }


def expected_texts(truth):
    """(region, text) for each text the frame draws where the detector reads."""
    el = truth["hud"]
    out = []
    if "place" in el:
        out.append(("arriba", el["place"]))
    if "kill_card" in el:
        out.append(("abajo", "ELIMINATED " + el["kill_card"]["victim"]))
    if "death_card" in el:
        out.append(("abajo", "KILLED BY " + el["death_card"]["killer"]))
    if "killcam" in el:
        out.append(("arriba", "KILLCAM"))
    if "medal" in el:
        out.append(("arriba", el["medal"]))
    if "deployment" in el:
        out.append(("abajo", "DEPLOYMENT WILL BEGIN"))
    if "match_start" in el:
        out.append(("abajo", "ENTERING THE WARZONE"))
    if "attackers" in el:
        out.append(("derecha", "ATTACKERS %d" % el["attackers"]))
    for k, v in el.get("killfeed", []):
        out += [("killfeed", k), ("killfeed", v)]
    if "menu_selection" in el:
        out.append(("menu", el["menu_selection"]["mode"]))
    return out


def check(folder):
    """Crops each frame's regions as the detector does and runs the tesseract
    command over each crop (sparse text); reports which drawn texts it read,
    letters compared without accents."""
    import unicodedata

    def plain(t):
        t = unicodedata.normalize("NFKD", t)
        return "".join(c for c in t if c.isalnum()).upper()

    manifest = os.path.join(folder, "manifest.json")
    if os.path.exists(manifest):
        with open(manifest, encoding="utf-8") as f:
            frames = json.load(f)["frames"]
    else:
        frames = []
        for n in sorted(os.listdir(folder)):
            if n.endswith(".json"):
                with open(os.path.join(folder, n), encoding="utf-8") as f:
                    t = json.load(f)
                t["file"] = n[:-5] + ".png"
                frames.append(t)
    found = total = 0
    with tempfile.TemporaryDirectory() as tmp:
        for t in frames:
            src = cairo.ImageSurface.create_from_png(os.path.join(folder, t["file"]))
            boxes = regions(src.get_width(), src.get_height())
            read = {}
            for region, text in expected_texts(t):
                if region not in read:
                    x, y, w, h = boxes[region]
                    crop = cairo.ImageSurface(cairo.FORMAT_RGB24, w, h)
                    cr = cairo.Context(crop)
                    cr.set_source_surface(src, -x, -y)
                    cr.paint()
                    path = os.path.join(tmp, region + ".png")
                    crop.write_to_png(path)
                    r = subprocess.run(["tesseract", path, "-", "--psm", "11"],
                                       env=dict(os.environ, OMP_THREAD_LIMIT="1"),
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                    read[region] = plain(r.stdout.decode("utf-8", "replace"))
                total += 1
                if plain(text) in read[region]:
                    found += 1
                else:
                    print("no leído: %s (%s) en %s" % (text, region, t["file"]))
    print("textos leídos por tesseract: %d de %d" % (found, total))


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)
    a = sub.add_parser("scene")
    a.add_argument("name")
    a.add_argument("--height", type=int, default=1080)
    a.add_argument("--width", type=int, default=0)
    a.add_argument("--seed", type=int, default=7)
    a.add_argument("--out", required=True)
    b = sub.add_parser("set")
    b.add_argument("--count", type=int, default=200)
    b.add_argument("--blank", type=int, default=50)
    b.add_argument("--seed", type=int, default=1)
    b.add_argument("--out", required=True)
    c = sub.add_parser("check")
    c.add_argument("folder")
    args = ap.parse_args()
    if args.cmd == "scene":
        width = args.width or args.height * 16 // 9
        os.makedirs(args.out, exist_ok=True)
        desc = named_scene(args.name, width, args.height, args.seed)
        stem = os.path.join(args.out, "%s_%d" % (args.name, args.height))
        truth = render(desc, stem + ".png")
        with open(stem + ".json", "w", encoding="utf-8") as f:
            json.dump(truth, f, ensure_ascii=False, indent=1)
    elif args.cmd == "set":
        os.makedirs(args.out, exist_ok=True)
        make_set(args.out, args.count, args.blank, args.seed)
    else:
        check(args.folder)


if __name__ == "__main__":
    sys.exit(main())
