"""The whole update, as a user lives it: a real installation folder (the
built program and its files) finds a signed version on a local server,
downloads and verifies it, starts its copy as the install step, which
replaces the installation, records the result and opens the new version;
that version reports the update when it starts. Once over HTTPS, trusted
through the system's certificate store, and once over plain HTTP with
"KV_UPDATE_URL"."""
import hashlib
import http.server
import io
import json
import os
import signal
import ssl
import subprocess
import tempfile
import threading
import unittest
import zipfile

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

from e2e_support import READY_LINE, Desktop, wait_until
from test_update import Files, call, processes_under

BIN = os.environ["CORVANE_BIN"]
SYSTEM_CA = "/etc/ssl/certs/ca-certificates.crt"
VERSION = "0.10.46"


def sessions_of(pids):
    out = set()
    for pid in pids:
        try:
            out.add(os.getsid(pid))
        except ProcessLookupError:
            pass
    out.discard(os.getsid(0))
    return out


def kill_sessions(sids):
    """Every process of the given sessions: the relaunched program and the
    browser window it opens live in sessions of their own."""
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                if os.getsid(int(pid)) in sids:
                    os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass


def make_certificate(folder):
    cert, key = os.path.join(folder, "c.pem"), os.path.join(folder, "k.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    return cert, key


def private_store_works(bundle):
    """The program is given a private view of the system's certificate file
    (a mount namespace of its own): nothing outside the test sees it."""
    r = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                        'mount --bind "$0" "$1" && cmp -s "$0" "$1"', bundle, SYSTEM_CA],
                       capture_output=True)
    return r.returncode == 0


class UpdateChainTest(unittest.TestCase):

    def serve(self, tls):
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Files)
        if tls:
            cert, key = make_certificate(self.certs)
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(cert, key)
            server.socket = ctx.wrap_socket(server.socket, server_side=True)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        return "%s://127.0.0.1:%d" % ("https" if tls else "http", server.server_address[1])

    def test_the_installation_updates_itself_and_opens_the_new_version(self):
        for scheme in ("https", "http"):
            with self.subTest(scheme):
                self.run_chain(scheme == "https")

    def run_chain(self, tls):
        self.certs = tempfile.mkdtemp(prefix="corvane-certs-")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.certs])
        base = self.serve(tls)
        if tls and not private_store_works(os.path.join(self.certs, "c.pem")):
            self.skipTest("needs a mount namespace (unshare) to trust the test's certificate")

        # The new version: the same built program, its bytes told apart by a
        # tail the loader ignores, and one more file.
        with open(BIN, "rb") as f:
            program = f.read() + b"\0corvane v" + VERSION.encode() + b"\0"
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
            info = zipfile.ZipInfo("Corvane/corvane", date_time=(2026, 11, 1, 12, 0, 0))
            info.create_system = 3
            info.external_attr = 0o100755 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, program)
            z.writestr("Corvane/lib/x.txt", "librería nueva")
        pkg = buf.getvalue()
        key = Ed25519PrivateKey.generate()
        manifest = {"app": "corvane", "version": VERSION, "date": "2026-11-01",
                    "url": base + "/Corvane_v%s.zip" % VERSION, "size": len(pkg),
                    "sha256": hashlib.sha256(pkg).hexdigest(), "changes": []}
        text = json.dumps(manifest, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
        Files.files = {"/version.json": json.dumps({"manifest": manifest,
                                                    "sig": key.sign(text.encode()).hex()}).encode(),
                       "/Corvane_v%s.zip" % VERSION: pkg}

        d = Desktop(self, BIN, sound=False)
        self.addCleanup(lambda: kill_sessions(sessions_of(processes_under(d.app))))
        d.write_ini("[grabacion]\nperfil = ligero\n")
        with open(os.path.join(d.app, "clave_actualizaciones.pub"), "w") as f:
            f.write(key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw).hex() + "\n")
        d.env["KV_UPDATE_URL"] = base + "/version.json"

        out_path = os.path.join(d.root, "out.txt")
        command = [d.exe, "--no-window"]
        if tls:
            command = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                       'mount --bind "$0" "$1" && shift && exec "$@"',
                       os.path.join(self.certs, "c.pem"), SYSTEM_CA] + command
        with open(out_path, "wb") as out:
            old = subprocess.Popen(command, cwd=d.root, env=d.env, stdout=out, stderr=subprocess.STDOUT)
        d.procs.append(old)

        def output():
            with open(out_path, encoding="utf-8", errors="replace") as f:
                return f.read()

        self.assertTrue(wait_until(lambda: READY_LINE in d.log() or old.poll() is not None, timeout=60), output())
        with open(os.path.join(d.data, "interfaz.json"), encoding="utf-8") as f:
            interfaz = json.load(f)
        self.assertTrue(wait_until(lambda: "Hay una versión nueva: v" + VERSION in d.log(), timeout=90),
                        d.log()[-3000:])
        self.assertEqual(call(interfaz["puerto"], interfaz["clave"], "POST", "/api/actualizacion",
                              {"a": "instalar"}), {"ok": True})
        self.assertTrue(wait_until(lambda: old.poll() is not None, timeout=120), d.log()[-3000:])
        self.assertEqual(old.returncode, 0, output()[-3000:])

        # The new version reports the install at its start, from the result
        # the install step left.
        reported = "[ACTUALIZACIÓN] Corvane se actualizó a la v%s." % VERSION
        self.assertTrue(wait_until(lambda: reported in d.log(), timeout=120),
                        d.log()[-3000:] + output()[-3000:])
        with open(os.path.join(d.exe), "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).digest(), hashlib.sha256(program).digest())
        self.assertTrue(os.access(d.exe, os.X_OK))
        with open(os.path.join(d.app, "lib", "x.txt"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "librería nueva")
        update = os.path.join(d.data, "actualizacion")
        with open(os.path.join(update, "actualizacion.log"), encoding="utf-8") as f:
            install_log = f.read()
        self.assertIn("Instalando v%s sobre v0.10.45 en %s\n" % (VERSION, d.app), install_log)
        self.assertIn("Listo: instalación limpia, 2 archivo(s)", install_log)
        self.assertFalse(os.path.exists(os.path.join(update, "resultado.json")))

        # The running program is the installed new version, started anew.
        def new_pid():
            try:
                with open(os.path.join(d.data, "interfaz.json"), encoding="utf-8") as f:
                    pid = json.load(f)["pid"]
            except (OSError, ValueError):
                return None
            return pid if pid != old.pid else None
        self.assertTrue(wait_until(lambda: new_pid() is not None, timeout=60))
        self.assertEqual(os.readlink("/proc/%d/exe" % new_pid()), d.exe)


if __name__ == "__main__":
    unittest.main()
