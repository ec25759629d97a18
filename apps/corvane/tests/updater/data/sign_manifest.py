#!/usr/bin/python3
"""Signs an update manifest the way the publisher does, independently of the
program's canonical JSON. Usage: sign_manifest.py SEED_HEX pub  -> public key hex
                                 sign_manifest.py SEED_HEX FILE -> {"manifest":..,"sig":..}"""
import json
import sys

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

key = Ed25519PrivateKey.from_private_bytes(bytes.fromhex(sys.argv[1]))
if sys.argv[2] == "pub":
    print(key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw).hex())
else:
    with open(sys.argv[2], encoding="utf-8") as f:
        manifest = json.load(f)
    text = json.dumps(manifest, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    sig = key.sign(text.encode("utf-8")).hex()
    print(json.dumps({"manifest": manifest, "sig": sig}, ensure_ascii=False))
