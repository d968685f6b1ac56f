#!/usr/bin/env python3
"""The real serial path end to end: tolvex-sim plays the reader on a pseudo-terminal, and the
tolvex command drives it through the terminal, the serial port driver and the driver.

    tolvex_pty_test.py --tolvex PATH --sim PATH
"""

import json
import os
import subprocess
import sys
import tempfile

from e2e import Simulator, arguments, check, verdict

AID = "00A4040007F0544F4C564558"
LIMIT_S = 60  # for any one tolvex command: nothing may hang


def stable_names(options):
    """tolvex-sim --link PATH, one row a case: what was at PATH, what it names while the
    simulator runs (the reader answers through it), what is left once it ends; or the refusal."""
    folder = tempfile.mkdtemp()
    link = os.path.join(folder, "reader")
    # (what, what is at PATH first: nothing, a dangling link, a file, a missing folder; how the
    # simulator ends; the exit code; its error)
    rows = [
        ("a new name, taken away at quit", None, "quit", 0, ""),
        ("a link left behind replaced, taken away at SIGTERM", "dangling", "stop", 0, ""),
        ("a file there is refused and left alone", "file", None, 1, "is not a symbolic link"),
        ("a folder that is not there is refused", "nofolder", None, 1, "No such file"),
    ]
    for what, before, end, code, error in rows:
        path = os.path.join(folder, "none", "reader") if before == "nofolder" else link
        if before == "dangling":
            os.symlink("/dev/pts/nothing-there", link)
        elif before == "file":
            with open(link, "w") as f:
                f.write("kept")
        if code != 0:
            result = subprocess.run([options.sim, "--pty", "--link", path], capture_output=True,
                                    text=True, timeout=LIMIT_S)
            left = open(link).read() if before == "file" else None
            check(result.returncode == code and error in result.stderr and
                  result.stdout == "" and left in (None, "kept"), f"--link: {what}",
                  f"exit {result.returncode}: {result.stdout}{result.stderr}, left {left!r}")
            if before == "file":
                os.unlink(link)
            continue
        sim = Simulator(options.sim, ["--link", path])
        named = os.readlink(path)
        info = subprocess.run([options.tolvex, "--port", f"0={path}", "info"],
                              capture_output=True, text=True, timeout=LIMIT_S)
        if end == "stop":
            ended = sim.stop()
        else:
            sim.command("quit")
            ended = sim.process.wait(10)
        check(named == sim.pty and info.returncode == 0 and "firmware" in info.stdout and
              ended == 0 and not os.path.lexists(path), f"--link: {what}",
              f"named {named!r} for {sim.pty}, info exit {info.returncode}, ended {ended}, "
              f"left {os.path.lexists(path)}")

    # A second simulator takes the name over: the first one's end leaves it to the second.
    first = Simulator(options.sim, ["--link", link])
    second = Simulator(options.sim, ["--link", link])
    first.command("quit")
    first.process.wait(10)
    taken = os.readlink(link) if os.path.lexists(link) else None
    second.command("quit")
    second.process.wait(10)
    check(taken == second.pty and not os.path.lexists(link),
          "--link: a name taken over stays with the simulator that took it", taken)
    os.rmdir(folder)


def main():
    options = arguments()
    stable_names(options)
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
