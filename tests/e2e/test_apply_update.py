"""The install step of the updater, run as the download job runs it: the real
program, copied into the update folder, started with "--apply-update" over a
prepared installation. The installed "corvane" is a small marker program that
records how it was started, so a test sees which version was opened again."""
import hashlib
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

from e2e_support import Desktop, wait_until

BIN = os.environ["CORVANE_BIN"]
NOTES = "notas_personales.txt"

MARKER = """#!%s
import json, os, sys
mark = %r
tmp = mark + ".tmp"
with open(tmp, "w") as f:
    json.dump({"which": %r, "argv": sys.argv[1:], "cwd": os.getcwd(),
               "own_session": os.getsid(0) == os.getpid()}, f)
os.rename(tmp, mark)
"""


def tree(root):
    """Every entry below `root` with its kind, content hash and mode; the
    update folder (log, result, backup) is left out."""
    skip = os.path.realpath(os.path.join(root, "data", "actualizacion"))
    out = {}
    for folder, dirs, files in os.walk(root):
        dirs[:] = [n for n in dirs if os.path.realpath(os.path.join(folder, n)) != skip
                   or os.path.islink(os.path.join(folder, n))]
        rel_folder = os.path.relpath(folder, root)
        for name in dirs + files:
            path = os.path.join(folder, name)
            rel = os.path.normpath(os.path.join(rel_folder, name))
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                what = "link:" + os.readlink(path)
            elif stat.S_ISDIR(st.st_mode):
                what = "dir"
            else:
                with open(path, "rb") as f:
                    what = "file:" + hashlib.sha256(f.read()).hexdigest()
            out[rel] = (what, stat.S_IMODE(st.st_mode))
    return out


def put(path, data, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    if mode is not None:
        os.chmod(path, mode)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def add(z, name, data, mode=0o644, method=zipfile.ZIP_DEFLATED):
    """One file entry; a mode of None makes it as a system without
    permission bits would."""
    info = zipfile.ZipInfo(name, date_time=(2026, 11, 1, 12, 0, 0))
    if mode is None:
        info.create_system = 0
        info.external_attr = 0x20  # archive bit only
    else:
        info.create_system = 3
        info.external_attr = (stat.S_IFREG | mode) << 16
    info.compress_type = method
    z.writestr(info, data)


class Installation:
    """A program folder with an old version installed, the user's data, tools
    and notes, and the installer copy of the real program in its update
    folder, where the download job leaves it."""

    def __init__(self, test, root=None):
        self.root = root or tempfile.mkdtemp(prefix="corvane-install-")
        if root is None:
            test.addCleanup(shutil.rmtree, self.root, True)
        self.app = os.path.join(self.root, "app")
        self.update = os.path.join(self.app, "data", "actualizacion")
        self.mark = os.path.join(self.root, "arranque.json")
        put(os.path.join(self.app, "corvane"), self.marker("vieja"), 0o755)
        put(os.path.join(self.app, "lib", "x.txt"), "lib vieja")
        put(os.path.join(self.app, "manual", "manual_es.md"), "# Manual viejo\n")
        put(os.path.join(self.app, "data", "corvane.ini"), "[general]\nperfil = calidad\n", 0o600)
        put(os.path.join(self.app, "tools", "ffmpeg-extra"), "herramienta", 0o755)
        put(os.path.join(self.app, NOTES), "mis notas")
        os.makedirs(self.update)
        self.installer = os.path.join(self.update, "corvane")
        shutil.copy2(BIN, self.installer)

    def marker(self, which):
        return MARKER % (sys.executable, self.mark, which)

    def package(self, entries, name="Corvane_v1.2.3.zip"):
        """A zip package in the update folder; `entries` are (name, data[,
        mode[, method]])."""
        path = os.path.join(self.update, name)
        with zipfile.ZipFile(path, "w") as z:
            for e in entries:
                add(z, *e)
        return path

    def good_entries(self):
        return [
            ("Corvane/corvane", self.marker("nueva"), 0o755),
            ("Corvane/lib/x.txt", "lib nueva"),
            ("Corvane/manual/manual_es.md", "# Manual nuevo\n"),
            ("Corvane/data/evil.txt", "pisaría los datos"),
            ("Corvane/" + NOTES, "notas del paquete"),
        ]

    def run(self, package, *extra, install_folder=None, env=None, timeout=120):
        """Runs the installer to its end. Its output goes to a file: the
        program it opens again inherits it and may outlive the test's wait."""
        args = [self.installer, "--apply-update", package, install_folder or self.app,
                "--version", "1.2.3", "--from-version", "0.10.45", *extra]
        err_path = os.path.join(self.root, "installer-err-%d.txt" % time.monotonic_ns())
        with open(err_path, "wb") as err:
            r = subprocess.run(args, cwd=self.update, env=env, stdout=subprocess.DEVNULL,
                               stderr=err, timeout=timeout)
        with open(err_path, encoding="utf-8", errors="replace") as f:
            r.stderr = f.read()
        return r

    def result(self):
        with open(os.path.join(self.update, "resultado.json"), encoding="utf-8") as f:
            return json.load(f, object_pairs_hook=lambda pairs: pairs)

    def install_log(self):
        with open(os.path.join(self.update, "actualizacion.log"), encoding="utf-8") as f:
            return f.read()

    def started(self, timeout=30):
        """What the marker program recorded, once it has run."""
        if not wait_until(lambda: os.path.exists(self.mark), timeout=timeout):
            return None
        with open(self.mark, encoding="utf-8") as f:
            return json.load(f)


class ApplyUpdateTest(unittest.TestCase):

    def test_zip_package_replaces_the_installation_and_opens_the_new_version(self):
        inst = Installation(self)
        package = inst.package(inst.good_entries())
        def data_tree():
            return {k: v for k, v in tree(inst.app).items() if k.split(os.sep)[0] == "data"}
        data_before = data_tree()
        # The old program is still ending: nothing moves until it has.
        old = subprocess.Popen(["sleep", "120"])
        self.addCleanup(lambda: (old.kill(), old.wait()))
        t0 = time.time()
        installer = subprocess.Popen(
            [inst.installer, "--apply-update", package, inst.app, str(old.pid),
             "--version", "1.2.3", "--from-version", "0.10.45"],
            cwd=inst.update, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertTrue(wait_until(lambda: os.path.exists(
            os.path.join(inst.update, "actualizacion.log")), timeout=30))
        time.sleep(1.0)
        self.assertIsNone(installer.poll())
        self.assertIn(repr("vieja"), read(os.path.join(inst.app, "corvane")))
        old.kill()
        old.wait()
        out, err = installer.communicate(timeout=120)
        self.assertEqual(installer.returncode, 0, err.decode())

        result = inst.result()
        self.assertEqual([k for k, _ in result], ["ok", "version", "from", "time", "files", "clean"])
        result = dict(result)
        self.assertEqual(result["ok"], True)
        self.assertEqual(result["version"], "1.2.3")
        self.assertEqual(result["from"], "0.10.45")
        self.assertIsInstance(result["time"], float)
        self.assertLess(abs(result["time"] - t0), 30)
        self.assertEqual(result["files"], 4)  # the package's data is not extracted
        self.assertEqual(result["clean"], True)

        self.assertIn(repr("nueva"), read(os.path.join(inst.app, "corvane")))
        self.assertTrue(os.access(os.path.join(inst.app, "corvane"), os.X_OK))
        with open(os.path.join(inst.app, "lib", "x.txt")) as f:
            self.assertEqual(f.read(), "lib nueva")
        # The help page's manual comes with the package like any other file.
        with open(os.path.join(inst.app, "manual", "manual_es.md")) as f:
            self.assertEqual(f.read(), "# Manual nuevo\n")
        with open(os.path.join(inst.app, NOTES)) as f:
            self.assertEqual(f.read(), "mis notas")
        with open(os.path.join(inst.app, "tools", "ffmpeg-extra")) as f:
            self.assertEqual(f.read(), "herramienta")
        self.assertEqual(data_tree(), data_before)
        self.assertFalse(os.path.exists(os.path.join(inst.update, "nuevo")))
        self.assertFalse(os.path.exists(os.path.join(inst.update, "respaldo")))

        started = inst.started()
        self.assertIsNotNone(started, "the new version was not started")
        self.assertEqual(started, {"which": "nueva", "argv": ["--no-elevate"], "cwd": inst.app,
                                   "own_session": True})

        lines = inst.install_log().split("\n")
        self.assertEqual(lines[-1], "")
        self.assertRegex(lines[0], r"^\d{4}-\d\d-\d\d \d\d-\d\d-\d\d Instalando v1\.2\.3 sobre "
                         r"v0\.10\.45 en " + inst.app + "$")
        self.assertRegex(lines[1], r"^\S+ \S+ Listo: instalación limpia, 4 archivo\(s\); se "
                         r"quitaron 3 elemento\(s\) de la versión anterior\.$")

    def test_quiet_and_no_relaunch(self):
        for extra, argv in ((["--quiet"], ["--no-elevate", "--no-window"]), (["--no-relaunch"], None)):
            inst = Installation(self)
            r = inst.run(inst.package(inst.good_entries()), *extra)
            self.assertEqual(r.returncode, 0)
            self.assertTrue(dict(inst.result())["ok"])
            if argv is None:
                time.sleep(1.0)
                self.assertFalse(os.path.exists(inst.mark))
            else:
                self.assertEqual(inst.started()["argv"], argv)

    def test_a_package_without_permission_bits_still_opens_the_new_version(self):
        inst = Installation(self)
        entries = [("Corvane/corvane", inst.marker("nueva"), None)] + inst.good_entries()[1:]
        r = inst.run(inst.package(entries))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(dict(inst.result())["ok"])
        self.assertEqual(inst.started()["which"], "nueva")

    def test_refused_packages_leave_the_installation_as_it_was(self):
        def tampered(inst):
            path = inst.package([e if e[0] != "Corvane/lib/x.txt" else
                                 ("Corvane/lib/x.txt", "lib nueva", 0o644, zipfile.ZIP_STORED)
                                 for e in inst.good_entries()])
            with open(path, "rb") as f:
                data = bytearray(f.read())
            at = data.index(b"lib nueva")
            data[at] ^= 1
            with open(path, "wb") as f:
                f.write(data)
            return path

        def bomb(declared):
            def make(inst):
                path = inst.package(inst.good_entries() + [("Corvane/relleno.bin", bytes(30 << 20))])
                with open(path, "rb") as f:
                    data = bytearray(f.read())
                name = b"Corvane/relleno.bin"
                # The entry's sizes in its local header and in the central directory.
                for sig, size_at in ((b"PK\x03\x04", 22), (b"PK\x01\x02", 24)):
                    at = 0
                    while True:
                        at = data.index(sig, at)
                        name_at = at + (30 if sig == b"PK\x03\x04" else 46)
                        if data[name_at:name_at + len(name)] == name:
                            data[at + size_at:at + size_at + 4] = declared.to_bytes(4, "little")
                            break
                        at += 4
                with open(path, "wb") as f:
                    f.write(data)
                return path
            return make

        def escaping(inst):
            return inst.package(inst.good_entries() + [("Corvane/../../fuera.txt", "escapó")])

        def outside(inst):
            folder = os.path.join(inst.root, "otra_carpeta")
            put(os.path.join(folder, "corvane"), inst.marker("ajena"), 0o755)
            return folder

        cases = [
            ("tampered", tampered, "Bad CRC-32 for file 'Corvane/lib/x.txt'"),
            ("bomb under a small declared size", bomb(1000), "Bad CRC-32 for file 'Corvane/relleno.bin'"),
            ("bomb over the size cap", bomb(0xF0000000), "el paquete supera el límite de "),
            ("path escaping the folder", escaping, "ruta no permitida en el paquete: Corvane/../../fuera.txt"),
            ("package outside the update folder", outside,
             "el paquete no está en la carpeta de actualización: "),
        ]
        for what, make, error in cases:
            with self.subTest(what):
                inst = Installation(self)
                package = make(inst)
                before = tree(inst.app)
                package_before = tree(package) if os.path.isdir(package) else None
                r = inst.run(package)
                self.assertEqual(r.returncode, 0)
                self.assertEqual(tree(inst.app), before)
                result = dict(inst.result())
                self.assertFalse(result["ok"])
                self.assertTrue(result["error"].startswith(error), result["error"])
                self.assertIn("ERROR: " + result["error"] + ". Restaurando la versión anterior…",
                              inst.install_log())
                self.assertEqual(inst.started()["which"], "vieja")
                self.assertFalse(os.path.exists(os.path.join(inst.update, "nuevo")))
                self.assertFalse(os.path.exists(os.path.join(inst.root, "fuera.txt")))
                if what == "package outside the update folder":
                    # Not ours: the folder is neither installed nor deleted.
                    self.assertEqual(tree(package), package_before)

    def test_a_folder_that_is_not_an_installation_is_not_touched(self):
        inst = Installation(self)
        docs = os.path.join(inst.root, "documentos")
        put(os.path.join(docs, "tesis.odt"), "años de trabajo")
        before = tree(docs)
        r = inst.run(inst.package(inst.good_entries()), install_folder=docs)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(tree(docs), before)
        self.assertFalse(os.path.exists(os.path.join(docs, "data")))
        self.assertIn("No se pudo instalar la actualización: la carpeta " + docs +
                      " no tiene una instalación de Corvane", r.stderr)
        time.sleep(1.0)
        self.assertFalse(os.path.exists(inst.mark))

    def test_a_rename_refused_mid_swap_restores_the_old_version(self):
        # The data folder is a link to another top-level folder of the
        # installation: that folder cannot be moved into the backup inside
        # itself, after others already were.
        inst = Installation(self)
        real = os.path.join(inst.app, "zz_datos")
        os.rename(os.path.join(inst.app, "data"), real)
        os.symlink("zz_datos", os.path.join(inst.app, "data"))
        package = inst.package(inst.good_entries())
        before = tree(inst.app)
        r = inst.run(package)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(tree(inst.app), before)
        result = dict(inst.result())
        self.assertFalse(result["ok"])
        self.assertEqual(result["error"], os.strerror(22))
        self.assertEqual(inst.started()["which"], "vieja")
        self.assertTrue(os.path.isdir(os.path.join(inst.update, "respaldo")))

    @unittest.skipUnless(shutil.which("chattr"), "needs chattr")
    def test_an_immutable_new_file_rolls_back_the_placed_ones(self):
        inst = Installation(self)
        nuevo = os.path.join(inst.update, "nuevo")
        put(os.path.join(nuevo, "corvane"), inst.marker("nueva"), 0o755)
        put(os.path.join(nuevo, "lib", "x.txt"), "lib nueva")
        put(os.path.join(nuevo, "manual", "manual_es.md"), "# Manual nuevo\n")
        blocked = os.path.join(nuevo, "manual")
        if subprocess.run(["chattr", "+i", blocked], stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("the file system refuses the immutable flag here")
        self.addCleanup(subprocess.run, ["chattr", "-i", blocked], stderr=subprocess.DEVNULL)
        before = tree(inst.app)
        r = inst.run(nuevo)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(tree(inst.app), before)
        result = dict(inst.result())
        self.assertFalse(result["ok"])
        self.assertEqual(result["error"], os.strerror(1))
        self.assertEqual(inst.started()["which"], "vieja")


class NextStartTest(unittest.TestCase):

    def test_the_installed_program_reports_the_update_at_its_next_start(self):
        d = Desktop(self, BIN, sound=False)
        inst = Installation(self, root=d.root)
        with open(BIN, "rb") as f:
            program = f.read()
        package = inst.package([("Corvane/corvane", program, 0o755, zipfile.ZIP_STORED),
                                ("Corvane/lib/x.txt", "lib nueva")])
        r = inst.run(package, "--quiet", env=d.env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(dict(inst.result())["ok"])

        line = "[ACTUALIZACIÓN] Corvane se actualizó a la v1.2.3."
        ok = wait_until(lambda: line in d.log(), timeout=90)
        pid = None
        interfaz = os.path.join(d.data, "interfaz.json")
        if wait_until(lambda: os.path.exists(interfaz), timeout=60):
            with open(interfaz) as f:
                pid = json.load(f)["pid"]
            self.addCleanup(self.stop, pid)
        self.assertTrue(ok, d.log())
        # Reported once: the result is gone, and the installer copy is cleaned up.
        self.assertFalse(os.path.exists(os.path.join(inst.update, "resultado.json")))
        self.assertTrue(wait_until(lambda: not os.path.exists(inst.installer), timeout=60))
        self.assertIsNotNone(pid)

    @staticmethod
    def stop(pid):
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            return

        def gone():
            try:
                with open("/proc/%d/stat" % pid) as f:
                    return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
            except FileNotFoundError:
                return True
        if not wait_until(gone, timeout=30):
            os.kill(pid, signal.SIGKILL)


if __name__ == "__main__":
    unittest.main()
