"""What the end-to-end tests of the tolvex programs share: their verdicts, their arguments and
tolvex-sim on a pseudo-terminal."""

import argparse
import os
import signal
import subprocess

failures = []


def check(ok, what, detail=""):
    print(f"ok    {what}" if ok else f"FAIL  {what}\n      {detail}", flush=True)
    if not ok:
        failures.append(what)


def arguments():
    """--tolvex PATH --sim PATH: the programs under test."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--tolvex", required=True)
    parser.add_argument("--sim", required=True)
    return parser.parse_args()


def verdict():
    """The exit code: 1 if any check failed."""
    print(f"{len(failures)} failed: {failures}" if failures else "all passed")
    return 1 if failures else 0


class Simulator:
    """tolvex-sim --pty ARGUMENTS. Its console is a pipe (stdin "console"), or it runs as in the
    background of a script: standard input at its end ("devnull") or closed ("closed")."""

    def __init__(self, path, arguments=(), stdin="console", stderr=None):
        self.process = subprocess.Popen(
            [path, "--pty", *arguments], stdout=subprocess.PIPE, stderr=stderr, text=True,
            bufsize=1,
            stdin={"console": subprocess.PIPE, "devnull": subprocess.DEVNULL}.get(stdin),
            preexec_fn=(lambda: os.close(0)) if stdin == "closed" else None)
        self.pty = self.process.stdout.readline().strip()
        if not self.pty.startswith("/dev/"):
            self.close()
            raise RuntimeError(f"tolvex-sim did not give a terminal: {self.pty!r}")

    def command(self, text):
        """A console line and its answer ("" for quit); a refusal is an error of the test."""
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()
        if text == "quit":
            return ""
        answer = self.process.stdout.readline().strip()
        if not answer.startswith("ok"):
            raise RuntimeError(f"tolvex-sim refused {text!r}: {answer}")
        return answer

    def stop(self):
        """SIGTERM: the code it ends with (None if it does not end)."""
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.close()
            return None

    def close(self):
        self.process.kill()
        self.process.wait()
