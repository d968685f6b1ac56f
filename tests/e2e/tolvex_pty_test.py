#!/usr/bin/env python3
"""The real serial path end to end: tolvex-sim plays the reader on a pseudo-terminal, and the
tolvex command drives it through the terminal, the serial port driver and the driver.

    tolvex_pty_test.py --tolvex PATH --sim PATH
"""

import json
import subprocess
import sys

from e2e import Simulator, arguments, check, verdict

AID = "00A4040007F0544F4C564558"
LIMIT_S = 60  # for any one tolvex command: nothing may hang


def main():
    options = arguments()
    sim = Simulator(options.sim, ["--card", "dual"])
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
        sim.close()
    return verdict()


if __name__ == "__main__":
    sys.exit(main())
