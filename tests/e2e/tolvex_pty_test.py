#!/usr/bin/env python3
"""The real serial path end to end: tolvex-sim plays the reader on a pseudo-terminal, and the
tolvex command drives it through the terminal, the serial port driver and the driver.

    tolvex_pty_test.py --tolvex PATH --sim PATH
"""

import argparse
import json
import subprocess
import sys
import threading
import time

AID = "00A4040007F0544F4C564558"
LIMIT_S = 60  # for any one tolvex command: nothing may hang
failures = []


class Simulator:
    """tolvex-sim --pty --trace, with its console on a pipe and its transcript kept."""

    def __init__(self, path):
        self.process = subprocess.Popen([path, "--pty", "--trace", "--card", "dual"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, bufsize=1)
        self.pty = self.process.stdout.readline().strip()
        if not self.pty.startswith("/dev/"):
            raise RuntimeError(f"tolvex-sim did not give a terminal: {self.pty!r}")
        self.transcript = []  # (ms since the start, text), taken by the checks
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stderr:
            time_ms, _, entry = line.strip().partition(" ms  ")
            self.transcript.append((float(time_ms), entry))

    def take_transcript(self):
        entries, self.transcript = self.transcript, []
        return entries

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
        _, lines, out = run("--json", "atr")
        atr = (lines or [{}])[0]
        check(atr.get("atr") == "3B 92 13 80 31 20 45 44 55 44" and atr.get("valid") and
              atr.get("protocols") == ["T=0", "T=1"] and atr.get("tck") == "44",
              "atr gives the card's answer to reset, decoded", out)

        data = "".join(f"{i:02X}" for i in range(255))
        for t in ("1", "0"):
            _, lines, out = run("--json", "apdu", "--protocol", f"t{t}", AID, "00A40000020101",
                                "00B0000000", f"80EE0000FF{data}00")
            sws = [line.get("sw", "") for line in lines]
            ok = (len(lines) == 4 and sws[:3] == ["9000"] * 3 and
                  len(lines[2].get("data", "").split()) == 256 and
                  lines[0].get("protocol") == f"T={t}")
            # T=0 takes case 4 as case 3: the card answers 61xx, the response waits.
            ok = ok and (sws[3].startswith("61") if t == "0" else
                         sws[3] == "9000" and lines[3].get("data", "").replace(" ", "") == data)
            check(ok, f"apdu under T={t}: select, 256-byte read, 255-byte command", out)

        watch = subprocess.Popen(command + ["watch", "--count", "2", "--timeout", "30"],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        said = [watch.stdout.readline()]
        for move in ("remove", "insert dual"):
            sim.command(move)
            said.append(watch.stdout.readline().strip())
        watch.wait(timeout=LIMIT_S)
        check("watching" in said[0] and said[1:] == ["card removed", "card inserted"] and
              watch.returncode == 0, "watch reports a removal and an insertion", said)

        sim.command("remove")
        result, _, out = run("apdu", AID)
        check(result.returncode == 1 and "no card in the reader" in out and "0xC0000178" in out,
              "apdu without a card says so, with the status", out)
        sim.command("insert dual")

        # A truncated ATR: T0 84 announces TD1 and four historical bytes that never come. The
        # reader reports the end of the card's block right behind T0, or once a second has
        # passed while the driver waits for TD1. Either way the reset fails on the report, not on
        # the read's own time-out of 2.4 s, and its power-off is the first frame after it.
        for report in ("early", "late 1000"):
            sim.command(f"fault short-atr {report} t0 84")
            time.sleep(0.2)
            sim.take_transcript()
            result, _, out = run("atr")
            time.sleep(0.5)  # the trace of the last frames reaches the pipe
            entries = sim.take_transcript()
            resets = [i for i, (_, e) in enumerate(entries) if e == "host: write register 3 = 1D"]
            after = entries[resets[-1] + 1:] if resets else []
            frames = [(t, e) for t, e in after if e.startswith("host:")]
            ends = [t for t, e in after if e == "reader: event end of block"]
            check(result.returncode == 1 and "0xC0000014" in out and frames and ends and
                  frames[0][1] == "host: write register 4 = 00" and frames[0][0] - ends[0] < 1000,
                  f"a truncated ATR reported {report.split()[0]} fails on the report, and the "
                  "reset powers the card off", f"{out}\n      {after}")
        sim.command("fault clear")

        sim.command("fault silence always")
        result, _, out = run("info")
        check(result.returncode == 1 and "no reader answered" in out and "0xC00000B5" in out,
              "a silent reader is reported, not waited for", out)
    finally:
        sim.process.kill()
        sim.process.wait()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
