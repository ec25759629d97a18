"""The settings page in Debian's Chromium against the whole program: the
device lists of a sound server with two outputs and two microphones appear
in the page; every control changed on the page reaches corvane.ini with a
value the program's settings loader takes without a warning; what applies at
once is applied by the running program at once, the rest only after the
restart the page asks for, whose start-up summary shows the new values."""
import json
import os
import signal
import subprocess
import unittest
import urllib.request

from e2e_support import Desktop, wait_until

BIN = os.environ["CORVANE_BIN"]
SRC = os.environ["CORVANE_SOURCE_DIR"]
READY = "[CORVANE] Listo: grabando en segundo plano. Controles en el ícono junto al reloj."


def read_ini(path):
    """(section, key) -> value, as the program's reader takes the file."""
    table, section = {}, ""
    with open(path, encoding="utf-8") as f:
        for line in f.read().replace("\r\n", "\n").split("\n"):
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line[0] == "[" and line[-1] == "]":
                section = line[1:-1].strip().lower()
                continue
            if "=" not in line:
                continue
            key, value = line.split("=", 1)
            table[(section, key.strip().lower())] = value.split(";", 1)[0].strip().strip('"')
    return table


def kill_left_behind(root):
    """Processes the restarted program started under this test's folder
    (the program itself, its interface window)."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmd = f.read()
        except OSError:
            continue
        if root.encode() in cmd:
            try:
                os.kill(int(pid), signal.SIGKILL)
            except OSError:
                pass


class SettingsPageRealTest(unittest.TestCase):

    def test_every_control_reaches_the_file_and_the_program(self):
        d = Desktop(self, BIN)
        self.addCleanup(kill_left_behind, d.root)
        # A second output beside "juego", and two microphones (sources that
        # are no sink's monitor) with names of their own.
        for args in (["module-null-sink", "sink_name=bocinas", "sink_properties=\"device.description='Bocinas de prueba'\""],
                     ["module-remap-source", "source_name=micro_a", "master=juego.monitor",
                      "source_properties=\"device.description='Micro A'\""],
                     ["module-remap-source", "source_name=micro_b", "master=bocinas.monitor",
                      "source_properties=\"device.description='Micro B'\""]):
            r = d.run_tool("pactl", "load-module", *args)
            self.assertEqual(r.returncode, 0, r.stderr)
        os.makedirs(d.data)
        ini = os.path.join(d.data, "corvane.ini")
        with open(ini, "w", encoding="utf-8") as f:
            f.write("[grabacion]\nperfil = calidad\n\n[teclas]\nguardar = Ctrl+W\n")
        folder = os.path.join(d.root, "mis clips")
        p = d.start("--no-window")
        self.assertTrue(wait_until(lambda: READY in d.log() or p.poll() is not None, timeout=60), d.log())
        port, token = d.interface()

        def status():
            req = urllib.request.Request(f"http://127.0.0.1:{port}/api/estado", headers={"X-CRVN-Clave": token})
            with urllib.request.urlopen(req, timeout=30) as r:
                return json.load(r)

        before = status()
        env = dict(d.env, PORT=str(port), TOKEN=token, FOLDER=folder, NODE_PATH=os.path.join(SRC, "node_modules"))
        run = subprocess.run(["node", os.path.join(SRC, "tests", "e2e", "pages", "settings_real.mjs")],
                             env=env, capture_output=True, text=True, timeout=400)
        self.assertEqual(run.returncode, 0, run.stderr[-3000:])
        out = json.loads(run.stdout.strip().splitlines()[-1])
        self.assertEqual(out["errors"], [])
        self.assertEqual(out["outside"], [])
        self.assertEqual(out["failed"], [])

        # The sound server's devices, as the page lists them.
        def names(devices):
            return [x["nombre"] + ("  (predeterminado)" if x["pred"] else "") for x in devices]
        self.assertIn("Bocinas de prueba", [x["nombre"] for x in before["salidas"]])
        self.assertEqual(sorted(x["nombre"] for x in before["microfonos"]), ["Micro A", "Micro B"])
        self.assertEqual(out["devices"]["audio.juego"],
                         ["Predeterminado del sistema", *names(before["salidas"]), "No grabar"])
        self.assertEqual(out["devices"]["audio.microfono"],
                         ["Predeterminado del sistema", *names(before["microfonos"]), "No grabar"])

        # Applied at once: the running program follows, no restart is asked for.
        live = out["live"]
        self.assertEqual(out["toasts"][0], "Guardado · aplicado al momento")
        self.assertFalse(live["detector"])
        self.assertIn("[DETECTOR]", d.log())
        self.assertEqual(live["disco"]["limite"], 7 * 1024 ** 3)
        self.assertFalse(live["reiniciar"])
        self.assertEqual(live["avisos"], [])
        if before["avisos_corriendo"]:
            self.assertEqual(out["toasts"][1], "Mira tu pantalla: aparece un aviso de prueba")
        self.assertEqual(out["toasts"][2], "Los avisos están apagados (actívalos arriba)")

        # The rest: written, taken by the loader, waiting for the restart.
        self.assertEqual(out["toasts"][3], "Guardado")
        later = out["later"]
        self.assertTrue(later["reiniciar"])
        self.assertTrue(out["restart_shown"])
        self.assertEqual(later["avisos"], [], "the loader refused a value the page wrote")
        bocinas = next(x for x in before["salidas"] if x["nombre"] == "Bocinas de prueba")
        micro_b = next(x for x in before["microfonos"] if x["nombre"] == "Micro B")
        want = {
            ("detector", "activo"): "no", ("clips", "limite_disco_gb"): "7",
            ("avisos", "posicion"): "arriba_derecha", ("avisos", "tamano"): "150", ("avisos", "duracion"): "4.5",
            ("avisos", "activo"): "no",
            ("ia", "clave_gemini"): "AIza-de-prueba", ("ia", "modelo"): "gemini-3.6-flash", ("ia", "fps"): "5",
            ("grabacion", "perfil"): "ligero", ("grabacion", "resolucion"): "720", ("avanzado", "codec"): "h264",
            ("avanzado", "fps"): "24", ("avanzado", "bitrate_mbps"): "4", ("avanzado", "buffer_segundos"): "20",
            ("avanzado", "buffer_max_mb"): "300", ("hdr", "corregir"): "no", ("hdr", "blanco_sdr"): "200",
            ("audio", "juego"): "si", ("audio", "salida_id"): bocinas["id"], ("audio", "salida_nombre"): "Bocinas de prueba",
            ("audio", "volumen_juego"): "150", ("audio", "microfono"): "si", ("audio", "microfono_id"): micro_b["id"],
            ("audio", "microfono_nombre"): "Micro B", ("audio", "microfono_en_video"): "no",
            ("audio", "nivelar_microfono"): "no", ("audio", "volumen_microfono"): "250",
            ("aviso", "sonido"): "no", ("aviso", "volumen"): "40",
            ("teclas", "guardar"): "Ctrl+Shift+S", ("visor", "tecla"): "Alt+F10", ("actualizaciones", "tecla"): "F9",
            ("general", "gamertag"): "Tester_1", ("clips", "automaticos"): "muertes", ("clips", "segundos_antes"): "8",
            ("clips", "segundos_despues"): "3", ("general", "carpeta_clips"): folder,
        }
        table = read_ini(ini)
        self.assertEqual({k: table.get(k) for k in want}, want)
        self.assertEqual({f"{s}.{k}": later["valores"][f"{s}.{k}"] for s, k in want}, {f"{s}.{k}": v for (s, k), v in want.items()})
        self.assertNotIn("AIza-de-prueba", d.log())
        # Until the restart, the program runs on what it started with: one
        # start-up summary, with the old key, before the saves and the restart.
        self.assertTrue(wait_until(lambda: "[CORVANE] Reiniciando para aplicar los cambios…" in d.log(), timeout=60))
        until_restart = d.log().split("[CORVANE] Reiniciando para aplicar los cambios…")[0]
        self.assertEqual(until_restart.count("  Perfil     : "), 1)
        self.assertIn("  Guardar    : Ctrl+W", until_restart)
        self.assertIn("[CONFIGURACIÓN] [teclas] guardar = Ctrl+Shift+S", until_restart)

        # "Reiniciar ahora": the new program starts with the new values.
        self.assertEqual(out["closed"].strip(), "CorvaneSe está reiniciando. Esta ventana ya se puede cerrar.")
        self.assertTrue(wait_until(lambda: d.log().count(READY) == 2, timeout=120), d.log()[-3000:])
        self.assertTrue(wait_until(lambda: p.poll() is not None, timeout=60))
        log = d.log()
        after = log[log.rindex("[CORVANE] Iniciando"):]
        for line in ("  Búfer      : últimos 20 segundos (en RAM, tope 300 MB)",
                     "  Audio juego: Bocinas de prueba (150%)",
                     "  Micrófono  : Micro B (250%)",
                     "  Guardar    : Ctrl+Shift+S",
                     "  Clips      : Alt+F10",
                     "  Actualizar : F9",
                     f"  Carpeta    : {folder}"):
            self.assertIn(line, after)
        self.assertRegex(after, r"  Video      : \d+x\d+ @ 24 fps")
        self.assertNotIn("[AVISO] corvane.ini", after)


if __name__ == "__main__":
    unittest.main()
