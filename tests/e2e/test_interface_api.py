"""The whole program on a private display and sound server, driven through its
web interface the way the settings page drives it: a settings save, the
status, the detector switch, a clip saved and the quit, each checked where the
user sees it (the file, the log, the clip, the exit)."""
import glob
import os
import unittest

from e2e_support import api_request, Desktop, wait_until

BIN = os.environ["CORVANE_BIN"]
CLOSED = "[CORVANE] Cerrado."


call = api_request


class InterfaceApiTest(unittest.TestCase):

    def test_settings_status_actions_and_quit_through_the_interface(self):
        d = Desktop(self, BIN)
        d.write_ini("[grabacion]\nperfil = ligero\n")
        p = d.start_ready(self, "--no-window")
        port, token = d.interface()

        status, reply = call(port, token, "POST", "/api/guardar", {"cambios": [
            {"s": "clips", "k": "limite_disco_gb", "v": " 7\n"},
            {"s": "ia", "k": "clave_gemini", "v": "secreta-123"},
        ]})
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertEqual(reply, {"ok": True, "errores": [], "avisos": [], "reiniciar": False, "en_vivo": True})
        with open(os.path.join(d.data, "corvane.ini"), encoding="utf-8") as f:
            ini = f.read()
        self.assertIn("limite_disco_gb = 7\n", ini)
        self.assertIn("clave_gemini = secreta-123\n", ini)
        self.assertNotIn("secreta-123", d.log())
        self.assertIn("[CONFIGURACIÓN] [ia] clave_gemini = (oculta, 11 caracteres)", d.log())

        _, state = call(port, token, "GET", "/api/estado")
        self.assertEqual(state["monitor"], [640, 360])  # the private display's size
        self.assertEqual(state["valores"]["clips.limite_disco_gb"], "7")
        self.assertEqual(state["valores"]["grabacion.perfil"], "ligero")
        self.assertEqual(state["disco"]["limite"], 7 << 30)
        self.assertEqual(state["carpeta"], d.clips)
        self.assertTrue(state["detector"])
        # The game watcher sees every process of the machine (other tests may
        # run a game stand-in meanwhile): the shape is what this test can pin.
        if state["juego"] is not None:
            self.assertEqual(list(state["juego"]), ["titulo", "exe", "warzone"])
        # The private sound server's null sink is the output to choose.
        self.assertIn("juego", [o["id"] for o in state["salidas"]])
        self.assertEqual([k for k in state["salidas"][0]], ["id", "nombre", "pred"])

        # The detector switch: the flag, the file and the log follow.
        self.assertEqual(call(port, token, "POST", "/api/accion", {"a": "detector_off"})[1], {"ok": True})
        self.assertFalse(call(port, token, "GET", "/api/estado")[1]["detector"])
        with open(os.path.join(d.data, "corvane.ini"), encoding="utf-8") as f:
            self.assertIn("activo = no\n", f.read())
        self.assertIn("[DETECTOR] Apagado", d.log())

        # A clip saved from the interface lands in the clips folder.
        self.assertEqual(call(port, token, "POST", "/api/accion", {"a": "guardar_clip"})[1], {"ok": True})
        self.assertTrue(wait_until(lambda: "[OK] Clip guardado" in d.log(), timeout=90), d.log()[-2000:])
        self.assertEqual(len(glob.glob(os.path.join(d.clips, "*", "Manual", "CRVN_*.mp4"))), 1)

        # Quitting answers first, then the program ends cleanly.
        self.assertEqual(call(port, token, "POST", "/api/accion", {"a": "salir"})[1], {"ok": True})
        self.assertEqual(p.wait(timeout=60), 0)
        self.assertTrue(d.log().endswith(CLOSED + "\r\n"), d.log()[-500:])


if __name__ == "__main__":
    unittest.main()
