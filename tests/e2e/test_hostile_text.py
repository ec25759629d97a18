"""Text from outside reaching the log and the console of the whole program: a
hand-edited INI value that start-up warns about, and a gamertag posted through
the settings API by a hostile local page. Neither may clear the terminal, set
its title, ring, or fake a line of the log; the INI never holds the posted
control characters."""
import os
import re
import unittest

from e2e_support import api_request, Desktop, wait_until

BIN = os.environ["CORVANE_BIN"]
READY = "[CORVANE] Listo: grabando en segundo plano."
CLOSED = "[CORVANE] Cerrado."
STAMP = rb"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} "
# What would drive a terminal or end a line anywhere but at a line end.
RAW = [b"\x1b", b"\x07", b"\x08", b"\x00", b"\x7f", "\u2028".encode(), "\u2029".encode(),
       "\u0085".encode(), "\u009b".encode()]


call = api_request


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class HostileTextTest(unittest.TestCase):

    def assert_clean(self, what, data, line_end):
        for raw in RAW:
            self.assertNotIn(raw, data, "%s holds %r" % (what, raw))
        stray = [c for c in data if c < 0x20 and c not in line_end]
        self.assertEqual(stray, [], what)
        data.decode("utf-8")  # well-formed
        # Every line is one of the program's own: a stamp, then the message.
        for line in data.split(b"\n"):
            line = line.rstrip(b"\r")
            if re.match(rb"^\[(ERROR|CORVANE|AVISO)\]", line):
                self.fail("%s has a line without its stamp: %r" % (what, line))
            self.assertIsNone(re.match(STAMP + rb".*" + STAMP + rb"\[ERROR\] falso", line), line)

    def test_outside_text_is_escaped_in_the_log_and_on_the_console(self):
        d = Desktop(self, BIN, sound=False)
        os.makedirs(d.data)
        ini_path = os.path.join(d.data, "corvane.ini")
        # A value start-up warns about, quoting it in the log.
        hostile_ini = "\x1b[2J\x1b[1G[ERROR] falso\x07\u2028x\u0085y"
        with open(ini_path, "w", encoding="utf-8") as f:
            f.write("[general]\ngamertag = Fox\n[grabacion]\nperfil = ligero\nresolucion = %s\n" % hostile_ini)
        p = d.start("--consola", "--no-window")
        self.assertTrue(wait_until(lambda: READY in d.log() or p.poll() is not None, timeout=90), d.log())
        self.assertIsNone(p.poll(), d.output(p))
        port, token = d.interface()

        hostile = ("Fox\x1b[2J\x1b]0;pwned\x07\u2028\n2026-10-25 09:05:03.042 [ERROR] falso\r\x1b[1G"
                   "[ERROR] falso\u0085")
        status, reply = call(port, token, "POST", "/api/guardar", {"cambios": [
            {"s": "general", "k": "gamertag", "v": hostile},
            {"s": "ia", "k": "modelo", "v": "modelo-ñ"},
        ]})
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertEqual(reply["ok"], False)
        self.assertEqual(reply["errores"], [
            "no se pudo guardar gamertag: valor no válido para [general] gamertag: contiene un salto de "
            "línea, un carácter de control o texto que no es UTF-8"])
        self.assertTrue(reply["en_vivo"])

        self.assertEqual(call(port, token, "POST", "/api/accion", {"a": "salir"})[1], {"ok": True})
        self.assertEqual(p.wait(timeout=60), 0)

        ini = read_bytes(ini_path)
        self.assertIn(b"gamertag = Fox\r\n", ini)
        self.assertIn("modelo = modelo-ñ\r\n".encode(), ini)
        self.assertNotIn(b"pwned", ini)

        log = read_bytes(os.path.join(d.data, "corvane.log"))
        console = read_bytes(p.output_path)
        self.assertTrue(log.endswith(CLOSED.encode() + b"\r\n"), log[-300:])
        self.assert_clean("the log", log, b"\r\n")
        self.assert_clean("the console", console, b"\n")
        self.assertNotIn(b"pwned", log)
        warned = ("[AVISO] corvane.ini: resolucion '\\x1b[2j\\x1b[1g[error] falso\\x07\\u2028x\\u0085y' "
                  "no válida").encode()
        self.assertIn(warned, log)
        self.assertIn(warned, console)
        self.assertIn("[CONFIGURACIÓN] [ia] modelo = modelo-ñ\r\n".encode(), log)
        self.assertIn("[CONFIGURACIÓN] [ia] modelo = modelo-ñ\n".encode(), console)


if __name__ == "__main__":
    unittest.main()
