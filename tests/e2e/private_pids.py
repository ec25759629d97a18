"""Runs a whole-program test in a PID namespace of its own, with its own /proc:
the test, the program and whatever they start see only each other, so a
process of the machine that happens to be named like a game (another test, a
user's program) cannot change what the program under test sees.

    python3 private_pids.py COMMAND [ARGS...]

As root: `unshare --pid --fork --mount-proc`. Otherwise the same inside a user
namespace where the user is root (`--user --map-root-user`). Where neither is
allowed, the test runs as it is, after a line saying it is not isolated.

Inside, this script is the namespace's first process: it starts the test,
passes on the signals it gets, reaps every orphan (as init does), and returns
the test's exit status. When it ends, the kernel ends whatever the test left.
"""
import os
import signal
import subprocess
import sys

INIT = "--as-init"
NOT_ISOLATED = ("private_pids: sin espacio de PID propio ({}); la prueba ve todos los "
                "procesos del usuario y un programa llamado como un juego puede cambiar "
                "su resultado.")


def unshare_command():
    """The unshare prefix that works here, or (None, reason)."""
    base = ["unshare", "--pid", "--fork", "--mount-proc", "--kill-child"]
    tries = [base] if os.geteuid() == 0 else []
    tries.append(["unshare", "--user", "--map-root-user"] + base[1:])
    reason = "unshare no disponible"
    for prefix in tries:
        try:
            r = subprocess.run(prefix + ["true"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=30)
        except (OSError, subprocess.TimeoutExpired) as e:
            reason = str(e)
            continue
        if r.returncode == 0:
            return prefix, None
        reason = r.stderr.decode(errors="replace").strip() or "unshare falló"
    return None, reason


def exit_code(status):
    code = os.waitstatus_to_exitcode(status)
    return 128 - code if code < 0 else code


def run_as_init(command):
    pid = os.fork()
    if pid == 0:
        try:
            os.execvp(command[0], command)
        finally:
            os._exit(127)

    def forward(signum, _frame):
        try:
            os.kill(pid, signum)
        except ProcessLookupError:
            pass

    for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT):
        signal.signal(s, forward)
    while True:
        try:
            done, status = os.wait()
        except ChildProcessError:
            return 1
        if done == pid:
            return exit_code(status)


def main(argv):
    if len(argv) >= 2 and argv[1] == INIT:
        return run_as_init(argv[2:])
    if len(argv) < 2:
        print("uso: private_pids.py ORDEN [ARGUMENTOS...]", file=sys.stderr)
        return 2
    prefix, reason = unshare_command()
    if prefix is None:
        print(NOT_ISOLATED.format(reason), file=sys.stderr, flush=True)
        os.execvp(argv[1], argv[1:])
    os.execvp(prefix[0], prefix + [sys.executable, os.path.abspath(__file__), INIT] + argv[1:])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
