#!/usr/bin/env python3
"""tolvex watch against tolvex-sim on a pseudo-terminal, one row a case: what the simulator's
console does while watch runs, what watch prints (each line, with its time), its exit code and
how long it took; and tolvex shell's standard output when its input is not a terminal.

    tolvex_watch_test.py --tolvex PATH --sim PATH
"""

import datetime
import json
import os
import pty
import re
import select
import subprocess
import sys
import tempfile
import time

from e2e import Simulator, arguments, check, verdict

LIMIT_S = 60  # no watch may outlive this
STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}"
ATR = "3B 92 13 80 31 20 45 44 55 44"


def iso_time(text):
    try:
        return datetime.datetime.fromisoformat(text).tzinfo is not None
    except ValueError:
        return False


# name, card at start, watch's arguments, console commands, standard output's lines (regular expressions; "..." last: more may follow; a
# callable: a check of the JSON object), standard error's (regular expression, full), exit
# code, the longest it may take in seconds (wide: a device gone is noticed in about 1 s).
ROWS = [
    ("an insertion with --atr shows its time and ATR, and leaves the card powered down", None,
     ["watch", "--atr", "--count", "1"], ["insert dual"],
     [STAMP + " card absent; watching", STAMP + " card inserted",
      r"ATR {11}" + ATR + r"   \(\d+\.\d ms\)", "TS            3B  direct convention", "..."],
     "", 0, 30),
    ("--json: each event with its ISO 8601 time, the ATR as its own object", "dual",
     ["--json", "watch", "--atr", "--count", "2"], ["remove", "insert t1"],
     [lambda o: o["event"] == "removed" and iso_time(o["time"]),
      lambda o: o["event"] == "inserted" and iso_time(o["time"]),
      lambda o: o["command"] == "atr" and o["atr"].startswith("3B")], "", 0, 30),
    ("a card swapped for another: its removal, then the other's insertion", "dual",
     ["watch", "--count", "2"], ["insert t1"],
     [STAMP + " card present; watching", STAMP + " card removed", STAMP + " card inserted"],
     "", 0, 30),
    ("the simulator gone: exit 1 with the error, in seconds", "dual",
     ["watch"], ["quit"], [STAMP + " card present; watching"],
     r"tolvex: the reader on /dev/pts/\d+ is gone: its serial device hung up \(.*\)\n", 1, 20),
    ("--json: the simulator gone is an error object", None,
     ["--json", "watch"], ["quit"],
     [lambda o: "is gone" in o["error"] and o["status"] == "0xC000000E"], "", 1, 20),
    ("--atr, a card that does not answer its reset: said, exit 1", None,
     ["watch", "--atr", "--count", "1"], ["fault mute", "insert dual"],
     [STAMP + " card absent; watching", STAMP + " card inserted"],
     r"tolvex: the card did not answer its reset \(.*\)\n", 1, 30),
]


def lines_match(lines, expected):
    more = expected and expected[-1] == "..."
    expected = expected[:-1] if more else expected
    if len(lines) < len(expected) or (not more and len(lines) != len(expected)):
        return False
    for line, want in zip(lines, expected):
        if callable(want):
            try:
                if not want(json.loads(line)):
                    return False
            except (ValueError, KeyError):
                return False
        elif not re.fullmatch(want, line):
            return False
    return True


def watch_row(options, row):
    name, card, arguments, steps, stdout, stderr, code, bound = row
    sim = Simulator(options.sim, ["--card", card or "none"])
    try:
        start = time.monotonic()
        watch = subprocess.Popen([options.tolvex, "--port", f"0={sim.pty}", *arguments],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(1)  # watch opens the reader and starts waiting
        for step in steps:
            sim.command(step)
        try:
            out, err = watch.communicate(timeout=LIMIT_S)
        except subprocess.TimeoutExpired:
            watch.kill()
            out, err = watch.communicate()
        took = time.monotonic() - start
        powered = "" if sim.process.poll() is not None or "quit" in steps else sim.command(
            "status")
        check(lines_match(out.splitlines(), stdout) and re.fullmatch(stderr, err) and
              watch.returncode == code and took < bound and "powered=yes" not in powered,
              name, f"exit {watch.returncode} after {took:.1f} s\n{out}{err}{powered}")
    finally:
        sim.close()


def waiting_on_a_terminal(options):
    """On a terminal watch shows that it waits, in place; the event line clears it."""
    sim = Simulator(options.sim, ["--card", "none"])
    master, slave = pty.openpty()
    try:
        watch = subprocess.Popen([options.tolvex, "--port", f"0={sim.pty}", "watch", "--count",
                                  "1"], stdout=slave, stderr=slave)
        os.close(slave)
        seen = b""
        deadline = time.monotonic() + 30
        while b"waiting for a card" not in seen and time.monotonic() < deadline:
            if select.select([master], [], [], 1)[0]:
                seen += os.read(master, 4096)
        sim.command("insert dual")
        watch.wait(timeout=LIMIT_S)
        while select.select([master], [], [], 0.5)[0]:
            try:
                seen += os.read(master, 4096)
            except OSError:
                break
        text = seen.decode(errors="replace")
        check(watch.returncode == 0 and "\rwaiting for a card " in text and
              re.search("\r\x1b\\[K" + STAMP + " card inserted", text) is not None,
              "on a terminal, a waiting line refreshed in place", repr(text[-300:]))
    finally:
        os.close(master)
        sim.close()


def shell_without_terminal(options):
    """shell reading a pipe: results only, no prompt."""
    result = subprocess.run([options.tolvex, "shell"], input="00A4040007F0544F4C564558\r\n",
                            capture_output=True, text=True, timeout=LIMIT_S)
    check(result.returncode == 0 and result.stderr == "" and
          result.stdout.splitlines()[1:] and
          result.stdout.splitlines()[1] == "> 00 A4 04 00 07 F0 54 4F 4C 56 45 58" and
          "tolvex>" not in result.stdout, "shell on a pipe: results only",
          result.stdout + result.stderr)


# watch --follow across a restart of the simulator under its --link, in text and in JSON: the
# lines up to the reader's return, and the card put in after it (the last line).
FOLLOW_ROWS = [
    ("--follow: the reader gone and back, then a card", [],
     [STAMP + " card absent; watching", STAMP + " reader gone: {link}, its serial device hung up",
      STAMP + " reader back; card absent", STAMP + " card inserted"]),
    ("--follow --json: an event for the reader gone and one for its return", ["--json"],
     [lambda o: o["event"] == "gone" and o["cause"] == "hang-up" and o["status"] == "0xC000000E"
      and iso_time(o["time"]),
      lambda o: o["event"] == "back" and o["card"] == "absent" and iso_time(o["time"]),
      lambda o: o["event"] == "inserted"]),
]


def stop(process, *sims):
    """A program under test killed if it still runs, and the simulators (None: not started)."""
    if process.poll() is None:
        process.kill()
        process.communicate()
    for sim in sims:
        if sim:
            sim.close()


def started(sim):
    """Until the host's start-up on the simulator is over: frames came, and none for a second
    (the start-up's longest pause between two frames is a fifth of that)."""
    frames, same = -1, 0
    while same < 10:
        time.sleep(0.1)
        now = int(re.search(r"frames=(\d+)", sim.command("status")).group(1))
        same = same + 1 if now == frames and now > 0 else 0
        frames = now


def follow_row(options, row):
    name, extra, expected = row
    folder = tempfile.mkdtemp()
    link = os.path.join(folder, "reader")
    expected = [w.replace("{link}", re.escape(link)) if isinstance(w, str) else w
                for w in expected]
    sim = Simulator(options.sim, ["--card", "none", "--link", link])
    watch = subprocess.Popen([options.tolvex, *extra, "--port", f"0={link}", "watch", "--follow",
                              "--count", "1", "--timeout", str(LIMIT_S)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines, again = [], None
    try:
        start = time.monotonic()
        started(sim)
        sim.command("quit")
        sim.process.wait(10)
        again = Simulator(options.sim, ["--card", "none", "--link", link])
        while not lines or ("reader back" not in lines[-1] and '"back"' not in lines[-1]):
            lines.append(watch.stdout.readline().strip())
            if watch.poll() is not None:
                break
        again.command("insert t1")
        out, err = watch.communicate(timeout=LIMIT_S)
        lines = [line for line in lines + out.splitlines() if line]
        took = time.monotonic() - start
        check(lines_match(lines, expected) and err == "" and watch.returncode == 0 and
              took < LIMIT_S, name, f"exit {watch.returncode} after {took:.1f} s\n" +
              "\n".join(lines) + err)
    finally:
        stop(watch, sim, again)


def shell_across_a_restart(options):
    """shell on a simulator that quits and is started again under its --link: the command on
    the reader gone says so, the first after its return starts it again and is answered."""
    folder = tempfile.mkdtemp()
    link = os.path.join(folder, "reader")
    sim = Simulator(options.sim, ["--card", "dual", "--link", link])
    shell = subprocess.Popen([options.tolvex, "--port", f"0={link}", "shell"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, bufsize=1)
    again, lines = None, []

    def send(until):
        """A command; standard output's lines until one matches `until`."""
        shell.stdin.write("0084000008\n")
        shell.stdin.flush()
        while not lines or not re.search(until, lines[-1]):
            line = shell.stdout.readline()
            if not line:
                break
            lines.append(line.rstrip("\n"))

    try:
        send(r"^< .* 90 00 ")
        sim.command("quit")
        sim.process.wait(10)
        send("is gone")
        refused = shell.stderr.readline()  # the command is over: the reader was not back yet
        again = Simulator(options.sim, ["--card", "dual", "--link", link])
        send(r"^< .* 90 00 ")
        shell.stdin.close()
        shell.wait(timeout=LIMIT_S)
        expected = [r"ATR .*protocol T=1", r"> 00 84 00 00 08", r"< .* 90 00 .*",
                    r"the reader on .* is gone: its serial device hung up; the next command "
                    r"tries it again",
                    r"the reader on .* is back", r"card powered up: ATR .*protocol T=1",
                    r"> 00 84 00 00 08", r"< .* 90 00 .*"]
        check(len(lines) == len(expected) and
              all(re.fullmatch(want, line) for want, line in zip(expected, lines)) and
              "is not back; the next command tries it again" in refused and
              shell.returncode == 1, "shell: the reader gone is said, and started again by the "
              "next command once it is back",
              f"exit {shell.returncode}\n" + "\n".join(lines) + "\n" + refused)
    finally:
        stop(shell, sim, again)


def main():
    options = arguments()
    for row in ROWS:
        watch_row(options, row)
    for row in FOLLOW_ROWS:
        follow_row(options, row)
    waiting_on_a_terminal(options)
    shell_without_terminal(options)
    shell_across_a_restart(options)
    return verdict()


if __name__ == "__main__":
    sys.exit(main())
