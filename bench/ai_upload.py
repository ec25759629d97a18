#!/usr/bin/env python3
"""Memory of a 500 MB clip upload: the body must stream from the file.

Starts the test stand-in of the AI service on 127.0.0.1 with a certificate made
here, makes a 500 MB clip, and runs build/release/bench/ai_upload_helper, which
prints the rise of its resident memory against the 32 MiB budget.
"""
import json
import os
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(here)
helper = os.path.join(root, "build", "release", "bench", "ai_upload_helper")
fake = os.path.join(root, "apps", "corvane", "tests", "ai", "tools", "fake_gemini.py")

with tempfile.TemporaryDirectory(prefix="crvn-bench-ai-") as d:
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                    "-keyout", f"{d}/k.pem", "-out", f"{d}/c.pem"], check=True, capture_output=True)
    scenario = {
        "POST /upload/v1beta/files": [{"status": 200, "headers": {"x-goog-upload-url": "https://127.0.0.1:{port}/up"}, "body": "{}"}],
        "POST /up": [{"status": 200, "body": '{"file":{"name":"files/b","uri":"https://x/files/b"}}'}],
        "GET /v1beta/files/b": [{"status": 200, "body": '{"state":"ACTIVE"}'}],
    }
    with open(f"{d}/s.json", "w") as f:
        json.dump(scenario, f)
    clip = f"{d}/clip.mp4"
    with open(clip, "wb") as f:
        block = os.urandom(1 << 20)
        for _ in range(500):
            f.write(block)
    server = subprocess.Popen([sys.executable, fake, f"{d}/c.pem", f"{d}/k.pem", f"{d}/s.json", f"{d}/log.jsonl"],
                              stdout=subprocess.PIPE, text=True)
    try:
        port = server.stdout.readline().strip()
        out = subprocess.run([helper, f"https://127.0.0.1:{port}", f"{d}/c.pem", clip],
                             capture_output=True, text=True, timeout=600)
        sys.stdout.write(out.stdout)
        if out.returncode != 0:
            sys.stderr.write(out.stderr)
    finally:
        server.terminate()
        server.wait()
