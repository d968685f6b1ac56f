#!/usr/bin/env python3
"""The real serial path end to end: tolvex-sim plays the reader on a pseudo-terminal, and the
tolvex command drives it through the terminal, the serial port driver and the driver.

    tolvex_pty_test.py --tolvex PATH --sim PATH
"""

import argparse
import json
import subprocess
import sys

AID = "00A4040007F0544F4C564558"
LIMIT_S = 60  # for any one tolvex command: nothing may hang
failures = []


class Simulator:
    """tolvex-sim --pty, with its console on a pipe; `options` go to tolvex-sim (e.g. --paced)."""

    def __init__(self, path, card="dual", options=()):
        self.process = subprocess.Popen([path, "--pty", "--card", card, *options],
                                        stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, bufsize=1)
        self.pty = self.process.stdout.readline().strip()
        if not self.pty.startswith("/dev/"):
            raise RuntimeError(f"tolvex-sim did not give a terminal: {self.pty!r}")

    def command(self, text):
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline().strip()
        if not answer.startswith("ok"):
            raise RuntimeError(f"tolvex-sim refused {text!r}: {answer}")


def check(ok, what, detail=""):
    print(f"ok    {what}" if ok else f"FAIL  {what}\n      {detail}")
    if not ok:
        failures.append(what)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tolvex", required=True)
    parser.add_argument("--sim", required=True)
    options = parser.parse_args()
    sim = Simulator(options.sim)
    command = [options.tolvex, "--port", f"0={sim.pty}"]

    def run(*args):
        result = subprocess.run(command + list(args), capture_output=True, text=True,
                                timeout=LIMIT_S)
        lines = [json.loads(line) for line in result.stdout.splitlines()
                 if line.startswith("{") and result.returncode == 0]
        return result, lines, result.stdout + result.stderr

    try:
        result, _, out = run("info")
        check(result.returncode == 0 and "Norvane-Talbeck Brightwarden Serial SCR" in out and
              "firmware      2.1" in out and "T=0, T=1" in out,
              "info names the reader, its firmware and protocols", out)

        # T=1 on the dual card (after a PTS): select, a 256-byte read, a 255-byte command.
        data = "".join(f"{i:02X}" for i in range(255))
        _, lines, out = run("--json", "apdu", "--protocol", "t1", AID, "00A40000020101",
                            "00B0000000", f"80EE0000FF{data}00")
        check(len(lines) == 4 and [line.get("sw") for line in lines] == ["9000"] * 4 and
              lines[0].get("protocol") == "T=1" and len(lines[2]["data"].split()) == 256 and
              lines[3]["data"].replace(" ", "") == data, "apdu under T=1", out)

        watch = subprocess.Popen(command + ["watch", "--count", "2", "--timeout", "30"],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        said = [watch.stdout.readline()]
        for move in ("remove", "insert dual"):
            sim.command(move)
            said.append(watch.stdout.readline().strip())
        watch.wait(timeout=LIMIT_S)
        # Each line begins with its local time, "2026-12-08 09:12:03.457".
        said = [line.split(" ", 2)[-1] for line in said]
        check("watching" in said[0] and said[1:] == ["card removed", "card inserted"] and
              watch.returncode == 0, "watch reports a removal and an insertion", said)

        sim.command("fault silence always")
        result, _, out = run("info")
        check(result.returncode == 1 and "no reader started" in out and "0xC0000001" in out,
              "a silent reader is reported, not waited for", out)
    finally:
        sim.process.kill()
        sim.process.wait()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
