#!/usr/bin/python3
"""Builds an update package with python's own zipfile and prints its SHA-256.
Usage: make_package.py OUT NAME=TEXT...   (NAME is the path inside the zip)"""
import hashlib
import sys
import zipfile

with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for arg in sys.argv[2:]:
        name, _, text = arg.partition("=")
        z.writestr(name, text)
with open(sys.argv[1], "rb") as f:
    print(hashlib.sha256(f.read()).hexdigest())
