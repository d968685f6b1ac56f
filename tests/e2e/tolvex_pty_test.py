#!/usr/bin/env python3
"""The real serial path end to end: tolvex-sim plays the reader on a pseudo-terminal, and the
tolvex command drives it through the terminal, the serial port driver and the driver.

    tolvex_pty_test.py --tolvex PATH --sim PATH
"""

import argparse
import json
import queue
import subprocess
import sys
import threading
import time

AID = "00A4040007F0544F4C564558"
SELECT_FILE = "00A40000020101"
COMMAND_LIMIT = 60  # seconds for any one tolvex command: nothing may hang


class Simulator:
    """tolvex-sim --pty --trace, with its console on a pipe and its transcript kept."""

    def __init__(self, path, card):
        self.process = subprocess.Popen(
            [path, "--pty", "--trace", "--card", card],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, bufsize=1)
        self.transcript = queue.Queue()
        self.pty = self.process.stdout.readline().strip()
        if not self.pty.startswith("/dev/"):
            raise RuntimeError(f"tolvex-sim did not give a terminal: {self.pty!r}")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stderr:
            time_ms, _, entry = line.strip().partition(" ms  ")
            self.transcript.put((float(time_ms), entry))

    def take_transcript(self):
        """The transcript's entries since the last take: (ms since the start, text)."""
        entries = []
        while not self.transcript.empty():
            entries.append(self.transcript.get())
        return entries

    def command(self, text):
        """Sends a console command and returns its one-line answer."""
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline().strip()
        if not answer.startswith("ok"):
            raise RuntimeError(f"tolvex-sim refused {text!r}: {answer}")
        return answer

    def close(self):
        try:
            self.process.stdin.write("quit\n")
            self.process.stdin.flush()
            self.process.wait(timeout=10)
        except Exception:
            self.process.kill()
            self.process.wait()


class Test:
    def __init__(self, tolvex, simulator):
        self.tolvex = tolvex
        self.sim = simulator
        self.failures = 0

    def run(self, *args):
        """Runs tolvex on the simulator's terminal; a hang raises TimeoutExpired."""
        return subprocess.run([self.tolvex, "--port", f"0={self.sim.pty}", *args],
                              capture_output=True, text=True, timeout=COMMAND_LIMIT)

    def check(self, condition, what, detail=""):
        if condition:
            print(f"ok    {what}")
        else:
            self.failures += 1
            print(f"FAIL  {what}\n      {detail}")

    def json_lines(self, result):
        if result.returncode != 0:
            return []
        return [json.loads(line) for line in result.stdout.splitlines() if line.strip()]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tolvex", required=True)
    parser.add_argument("--sim", required=True)
    options = parser.parse_args()

    sim = Simulator(options.sim, "dual")
    test = Test(options.tolvex, sim)
    try:
        result = test.run("info")
        test.check(result.returncode == 0 and "Norvane-Talbeck Brightwarden Serial SCR" in result.stdout
                   and "firmware      2.1" in result.stdout and "T=0, T=1" in result.stdout,
                   "info names the reader, its firmware and protocols", result.stdout + result.stderr)

        result = test.run("--json", "atr")
        atr = (test.json_lines(result) or [{}])[0]
        test.check(atr.get("atr") == "3B 92 13 80 31 20 45 44 55 44" and atr.get("valid")
                   and atr.get("protocols") == ["T=0", "T=1"] and atr.get("tck") == "44",
                   "atr gives the card's answer to reset, decoded", result.stdout + result.stderr)

        # apdu under both protocols, long data both ways
        long_data = "".join(f"{i:02X}" for i in range(255))
        echo = "80EE0000FF" + long_data + "00"
        for protocol in ("t1", "t0"):
            result = test.run("--json", "apdu", "--protocol", protocol, AID, SELECT_FILE,
                                 "00B0000000", echo)
            lines = test.json_lines(result)
            ok = (len(lines) == 4 and all(line.get("sw") == "9000" for line in lines[:3])
                  and len(lines[2].get("data", "").split()) == 256
                  and lines[0].get("protocol") == ("T=1" if protocol == "t1" else "T=0"))
            if protocol == "t1":
                ok = ok and lines[3].get("sw") == "9000" and lines[3].get("data", "").replace(" ", "") == long_data
            else:
                # T=0 takes case 4 as case 3: the card answers 61xx, the response waits.
                ok = ok and lines[3].get("sw", "").startswith("61")
            test.check(ok, f"apdu under {protocol.upper()}: select, 256-byte read, 255-byte command",
                       result.stdout + result.stderr)

        # watch: a removal and an insertion driven through the simulator's console
        watch = subprocess.Popen([options.tolvex, "--port", f"0={sim.pty}", "watch", "--count", "2",
                                  "--timeout", "30"],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        first = watch.stdout.readline()
        sim.command("remove")
        removed = watch.stdout.readline()
        sim.command("insert dual")
        inserted = watch.stdout.readline()
        watch.wait(timeout=COMMAND_LIMIT)
        test.check("watching" in first and removed.strip() == "card removed"
                   and inserted.strip() == "card inserted" and watch.returncode == 0,
                   "watch reports a removal and an insertion", first + removed + inserted)

        sim.command("remove")
        result = test.run("apdu", AID)
        test.check(result.returncode == 1 and "no card in the reader" in result.stderr
                   and "0xC0000178" in result.stderr,
                   "apdu without a card says so, with the status", result.stderr)
        sim.command("insert dual")

        # A truncated ATR: TS 3B, then T0 84 announces TD1 and four historical bytes that never
        # come. The reader reports the end of the card's block right behind T0, or once a
        # second has passed while the driver waits for TD1. Either way the reset fails on the
        # report, not on the read's own time-out of 2.4 s, and its own power-off follows the
        # report at once, the first frame after the reset command.
        for report in ("early", "late 1000"):
            sim.command(f"fault short-atr {report} t0 84")
            time.sleep(0.2)
            sim.take_transcript()
            result = test.run("atr")
            time.sleep(0.5)  # the trace of the last frames reaches the pipe
            entries = sim.take_transcript()
            resets = [i for i, (_, e) in enumerate(entries) if e == "host: write register 3 = 1D"]
            after = entries[resets[-1] + 1:] if resets else []
            frames = [(t, e) for t, e in after if e.startswith("host:")]
            ends = [t for t, e in after if e == "reader: event end of block"]
            ok = (result.returncode == 1 and "0xC0000014" in result.stderr and frames and ends
                  and frames[0][1] == "host: write register 4 = 00"
                  and frames[0][0] - ends[0] < 1000)
            test.check(ok, f"a truncated ATR reported {report.split()[0]} fails on the report, "
                           "and the reset powers the card off",
                       result.stderr + "\n      " + "\n      ".join(f"{t:.1f} {e}" for t, e in after))
        sim.command("fault clear")

        # a silent reader: clear words, a non-zero exit, no hang
        sim.command("fault silence always")
        result = test.run("info")
        test.check(result.returncode == 1 and "no reader answered" in result.stderr
                   and "0xC00000B5" in result.stderr,
                   "a silent reader is reported, not waited for", result.stderr)
    finally:
        sim.close()
    return 1 if test.failures else 0


if __name__ == "__main__":
    sys.exit(main())
