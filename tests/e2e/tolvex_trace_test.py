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
import shutil
import subprocess
import sys
import tempfile
import time

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


MS = re.compile(r'"ms": ?[0-9.e+-]+|\(\d+\.\d ms\)|\d{4}-\d\d-\d\d[ T][0-9:.+-]+')


def replay_rows(options, folder):
    """Sessions recorded with --trace --json and played back with --replay: the same results
    (times aside); and a command changed from the recording's, the difference said at the frame
    of the recording where it first shows."""
    t = options.tolvex
    echo = "80EE000040" + bytes(range(64)).hex() + "00"  # T=1: chained in blocks of IFSC 32
    # name, tolvex's arguments, a console command for tolvex-sim before the command (None: the
    # built-in simulator), the command line played back with a change, the bytes of the
    # recording the change first differs from
    rows = [
        ("T=0 with GET RESPONSE", ["--card", "t0", "apdu", "00A4040007F0544F4C564558",
                                   "00B0000010"], None, None, None),
        ("T=1 with chaining", ["--card", "t1", "apdu", "0084000008", echo], None,
         ["apdu", "0084000009", echo], "00 84 00 00 08"),
        ("a card removed", ["watch", "--count", "1"], "remove", None, None),
        ("a failed reset", ["atr"], "fault mute", None, None),
    ]
    for name, argv, console, changed, differs_at in rows:
        trace = f"{folder}/{len(name)}-{name[:3]}.jsonl"
        sim = None
        try:
            if console is not None:  # the reader on tolvex-sim, the card or fault from its console
                sim = Simulator(options.sim, ["--card", "t1"])
                if console != "remove":
                    sim.command(console)
                args = ["--port", f"0={sim.pty}"] + [a for a in argv if a not in ("--card", "t0", "t1")]
                recording = subprocess.Popen([t, "--json", "--trace", *args], text=True,
                                             stdout=subprocess.PIPE, stderr=open(trace, "w"))
                if console == "remove":
                    time.sleep(1.5)  # watching
                    sim.command("remove")
                out, _ = recording.communicate(timeout=LIMIT_S)
                recorded = subprocess.CompletedProcess(args, recording.returncode, out, "")
            else:
                with open(trace, "w") as err:
                    recorded = subprocess.run([t, "--json", "--trace", *argv], text=True,
                                              stdout=subprocess.PIPE, stderr=err, timeout=LIMIT_S)
        finally:
            if sim is not None:
                sim.close()
        command = [a for a in argv if a not in ("--card", "t0", "t1")]
        replayed = subprocess.run([t, "--json", "--replay", trace, *command], text=True,
                                  capture_output=True, timeout=LIMIT_S)
        check(replayed.returncode == recorded.returncode and replayed.stderr == "" and
              MS.sub("", replayed.stdout) == MS.sub("", recorded.stdout),
              f"replay, {name}: the same results as recorded",
              f"recorded {recorded.returncode} {recorded.stdout[-400:]!r}, replayed "
              f"{replayed.returncode} {replayed.stdout[-400:]!r} {replayed.stderr[-400:]!r}")
        if console is None:  # the same, the recording played by tolvex-sim on a terminal
            sim = subprocess.Popen([options.sim, "--pty", "--replay", trace], text=True,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            pty = sim.stdout.readline().strip()
            over_pty = subprocess.run([t, "--json", "--port", f"0={pty}", *command], text=True,
                                      capture_output=True, timeout=LIMIT_S)
            said, errors = sim.communicate(timeout=LIMIT_S)
            check(over_pty.returncode == recorded.returncode and
                  MS.sub("", over_pty.stdout) == MS.sub("", recorded.stdout) and
                  sim.returncode == 0 and said.startswith("ok the recording played to its end"),
                  f"tolvex-sim --replay, {name}: the same results over a terminal",
                  f"{over_pty.stdout[-300:]!r} {over_pty.stderr[-300:]!r}; tolvex-sim "
                  f"{sim.returncode} {said!r} {errors!r}")
        if changed is None:
            continue
        with open(trace) as f:
            frames = [json.loads(line) for line in f]
        frame = next(i for i, r in enumerate(frames, 1)
                     if r["dir"] == "host" and differs_at in r["bytes"])
        result = subprocess.run([t, "--replay", trace, *changed], text=True, capture_output=True,
                                timeout=LIMIT_S)
        said = result.stderr.splitlines()[-1] if result.stderr else ""
        check(result.returncode == 1 and
              said.startswith(f"tolvex: the replay differs from the recording at frame {frame} "
                              f"of {len(frames)} (port 0): the recording has host: data "),
              f"replay, {name}, a command changed: the difference said at frame {frame}", said)


def main():
    options = arguments()
    for name, over_pty, as_json in ROWS:
        run_row(options, name, over_pty, as_json)
    folder = tempfile.mkdtemp(prefix="tolvex-replay-")
    try:
        replay_rows(options, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return verdict()


if __name__ == "__main__":
    sys.exit(main())
