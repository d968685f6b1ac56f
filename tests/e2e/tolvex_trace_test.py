#!/usr/bin/env python3
"""tolvex --trace end to end: the wire trace of `atr`, on the built-in simulator and on
tolvex-sim through a pseudo-terminal. Each row runs one command; its trace (standard error)
must hold the reset, the card's ATR and the end of block, in that order, the ATR being the one
printed on standard output. Through the terminal, the host's frames and the card's bytes must
read as tolvex-sim's own --trace says them.

    tolvex_trace_test.py --tolvex PATH --sim PATH
"""

import json
import re
import subprocess
import sys

from e2e import Simulator, arguments, check, verdict

LIMIT_S = 60
RESET = "host: write register 3 = 1D"  # the STC's cold reset of the card
END = "reader: event end of block"
TIMED = re.compile(r"^\s+\d+\.\d{3} ms  (.*)$")

# name, over the pseudo-terminal, --json
ROWS = [
    ("built-in simulator, text", False, False),
    ("built-in simulator, json", False, True),
    ("pseudo-terminal, text", True, False),
]



def trace_lines(name, stderr, as_json):
    """The trace's decoded lines, and its times in µs; lines not as they should be are failures."""
    lines, times, bad = [], [], []
    for line in stderr.splitlines():
        if as_json:
            record = json.loads(line)
            text = record["trace"]
            lines.append(text)
            times.append(record["us"])
            wire = bytes.fromhex(record["bytes"])
            if (record["dir"] != ("host" if text.startswith("host") else "reader") or
                    (text.startswith("card: ") and
                     wire != bytes.fromhex(text[6:].split(" (")[0]))):
                bad.append(line)
        else:
            match = TIMED.match(line)
            if not match:
                bad.append(line)
                continue
            lines.append(match.group(1))
            times.append(float(line.split()[0]) * 1000)
    check(not bad and lines, f"{name}: every line a trace line, right way and bytes", bad)
    return lines, times


def run_row(options, name, over_pty, as_json):
    sim = None
    command = [options.tolvex]
    if over_pty:
        sim = Simulator(options.sim, ["--card", "t1", "--trace"], stderr=subprocess.PIPE)
        command += ["--port", "0=" + sim.pty]
    else:
        command += ["--card", "t1"]
    if as_json:
        command.append("--json")
    result = subprocess.run(command + ["--trace", "atr"], capture_output=True, text=True,
                            timeout=LIMIT_S)
    check(result.returncode == 0, f"{name}: atr succeeds", result.stderr)
    if as_json:
        atr = json.loads(result.stdout.splitlines()[0])["atr"]
    else:
        atr = result.stdout.splitlines()[0].split(None, 1)[1].split("  (")[0].strip()
    atr = bytes.fromhex(atr.replace(" ", "")).hex(" ").upper()
    lines, times = trace_lines(name, result.stderr, as_json)
    check(times == sorted(times), f"{name}: times in order")
    try:
        reset = lines.index(RESET)
        card = lines.index("card: " + atr, reset)
        end = lines.index(END, card)
        check(reset < card < end, f"{name}: reset, ATR, end of block in order")
    except ValueError:
        check(False, f"{name}: reset, ATR {atr}, end of block in order", "\n".join(lines))
    if sim:
        sim.command("quit")
        _, sim_trace = sim.process.communicate(timeout=LIMIT_S)
        said = [m.group(1) for m in map(TIMED.match, sim_trace.splitlines()) if m]
        ours = [line for line in lines if line.startswith(("host:", "card:"))]
        theirs = [line for line in said if line.startswith(("host:", "card:"))]
        check(ours == theirs, f"{name}: the same words as tolvex-sim --trace",
              f"tolvex:\n{ours}\ntolvex-sim:\n{theirs}")


def main():
    options = arguments()
    for name, over_pty, as_json in ROWS:
        run_row(options, name, over_pty, as_json)
    return verdict()


if __name__ == "__main__":
    sys.exit(main())
