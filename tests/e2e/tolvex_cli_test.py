#!/usr/bin/env python3
"""The command lines of tolvex and tolvex-sim: every usage error found before the driver starts
(one line on standard error, exit code 2), --help and --version, the errors of ports that do not
start, and tolvex-sim's defaults (a card in the reader, running on with standard input closed).

    tolvex_cli_test.py --tolvex PATH --sim PATH
"""

import os
import pty
import subprocess
import sys
import time

from e2e import Simulator, arguments, check, verdict

LIMIT_S = 60  # for any one command: nothing may hang
MISSING = "/dev/tolvex-test-no-such-device"
# ECHO of 4,096 bytes with Le 00 00: an extended-length APDU (case 4E).
EXTENDED_ECHO = "80EE0000001000" + bytes(i * 7 & 0xFF for i in range(4096)).hex() + "0000"


def run(argv):
    return subprocess.run(argv, capture_output=True, text=True, timeout=LIMIT_S,
                          stdin=subprocess.DEVNULL)


def expect(argv, code, start, stream="stderr", contains=""):
    """argv exits with `code`; `stream` starts with `start` (and contains `contains`); an error
    is one line on standard error."""
    result = run(argv)
    text = getattr(result, stream)
    lines = result.stderr.splitlines()
    one_line = code == 0 or (len(lines) == 1 and result.stdout == "")
    check(result.returncode == code and text.startswith(start) and contains in text and one_line,
          " ".join(argv[1:]) or "(nothing)",
          f"exit {result.returncode}, stdout {result.stdout!r}, stderr {result.stderr!r}")
    return result


def main():
    options = arguments()
    t, s = options.tolvex, options.sim

    # argv, exit code, the start of standard error (of standard output with exit code 0),
    # and a piece it contains.
    rows = [
        ([t, "--help"], 0, "tolvex: the Brightwarden", "--version"),
        ([t, "--version"], 0, "tolvex 0.", ""),
        ([s, "-V"], 0, "tolvex-sim 0.", ""),
        ([t], 2, "tolvex: a command is required", "info"),
        ([t, "frobnicate"], 2, "tolvex: ", "frobnicate"),
        ([t, "info", "extra"], 2, "tolvex: ", "extra"),
        ([t, "--reader", "x", "info"], 2, "tolvex: --reader", ""),
        ([t, "--reader", "4", "info"], 2, "tolvex: --reader", ""),
        ([t, "--reader", "1", "info"], 2, "tolvex: --reader: the built-in simulated reader", ""),
        ([t, "--card", "t9", "info"], 2, "tolvex: --card", "t9"),
        ([t, "--card", "t1", "--port", f"0={MISSING}", "info"], 2, "tolvex: --", "excludes"),
        ([t, "--port", "0=", "info"], 2, "tolvex: --port", "no device path"),
        ([t, "--port", "0abc=/dev/null", "info"], 2, "tolvex: --port", "not a port number"),
        ([t, "--port", "+1=/dev/null", "info"], 2, "tolvex: --port", "not a port number"),
        ([t, "--port", "/dev/ttyS0", "info"], 2, "tolvex: --port", "not N=PATH"),
        ([t, "--port", "4=/dev/ttyS0", "info"], 2, "tolvex: --port", "0xC0040005 The maximum"),
        ([t, "--port", "1=/a", "--port", "1=/b", "info"], 2, "tolvex: --port", "given twice"),
        ([t, "--port", f"0={MISSING}", "--reader", "2", "info"], 2,
         "tolvex: --reader: no serial device was given for port 2", ""),
        ([t, "apdu", "--protocol", "t2", "00A40400"], 2, "tolvex: --protocol", "t2"),
        ([t, "shell", "--protocol", "T1"], 2, "tolvex: --protocol", ""),
        ([t, "apdu", "00A4"], 2, "tolvex: hex", "not an APDU in hex"),
        ([t, "watch", "--count", "-1"], 2, "tolvex: --count", ""),
        ([t, "watch", "--timeout", "-0.5"], 2, "tolvex: --timeout", ""),
        # Found before the driver starts: the usage error, not the missing device's.
        ([t, "--port", f"0={MISSING}", "apdu", "--protocol", "t2", "00A40400"], 2,
         "tolvex: --protocol", ""),
        ([s, "--pty", "--card", "t9"], 2, "tolvex-sim: --card", "none"),
        # A device that does not open: the status and the driver's event message.
        ([t, "--port", f"0={MISSING}", "info"], 1,
         f"tolvex: the serial device {MISSING} (port 0) does not exist "
         "(STATUS_OBJECT_NAME_NOT_FOUND 0xC0000034",
         "; event 0xC0040004 Internal error: Cannot connect to assigned serial port."),
    ]
    for argv, code, start, contains in rows:
        expect(argv, code, start, "stdout" if code == 0 else "stderr", contains)

    # Help written for people: each option's value as its user writes it, none of the parser's
    # type names or checks.
    for argv, wanted in [([t], ["--port N=PATH ...", "--reader N", "--card MODEL", "(default: dual; not with --port)"]),
                         ([t, "apdu"], ["--protocol any|t0|t1", "HEX ..."]),
                         ([t, "shell"], ["--protocol any|t0|t1"]),
                         ([t, "watch"], ["--count N ", "--timeout S "]),
                         ([s], ["--card MODEL", "or none (default: dual)", "--firmware BYTE",
                                "--jitter-gap US", "--link PATH"])]:
        text = run(argv + ["--help"]).stdout
        parser_words = [w for w in ("UINT", "FLOAT", "TEXT", "INT", "NONNEGATIVE", ":{", "->")
                        if w in text]
        check(all(w in text for w in wanted) and not parser_words,
              f"{' '.join(argv[1:]) or 'tolvex'} --help: written for people",
              f"missing {[w for w in wanted if w not in text]}, parser's words {parser_words}")

    # An extended-length APDU: under T=0 refused in one line once the card is up; under T=1
    # the command and its answer shown as hex dumps with their lengths, and whole in JSON.
    data_start = "0000  00 07 0E 15 1C 23 2A 31 38 3F 46 4D 54 5B 62 69"
    for card, extra, code, wanted in [
            ("t0", [], 1, ["tolvex: an extended-length APDU (4105 bytes) cannot go to the card "
                           "under T=0: the reader carries short APDUs only there "
                           "(STATUS_NOT_SUPPORTED 0xC00000BB"]),
            ("t1", [], 0, ["> 80 EE 00 00 00 10 00 ..., 4105 bytes:", "0000  80 EE 00 00 00 10",
                           "ms), 4096 bytes:\n  " + data_start]),
            ("t1", ["--json"], 0, ['"data":"' + data_start[6:]])]:
        result = run([t, *extra, "--card", card, "apdu", EXTENDED_ECHO])
        said = result.stdout + result.stderr
        check(result.returncode == code and all(w in said for w in wanted) and
              (code == 0 or len(result.stderr.splitlines()) == 1),
              f"an extended APDU, --card {card} {' '.join(extra)}",
              f"exit {result.returncode}, {said[:600]!r}")

    # A terminal nobody answers on: the status the driver's start gave.
    master, slave = pty.openpty()
    try:
        expect([t, "--port", f"0={os.ttyname(slave)}", "info"], 1,
               f"tolvex: no reader started on {os.ttyname(slave)} (port 0) (STATUS_UNSUCCESSFUL")
    finally:
        os.close(slave)
        os.close(master)

    # tolvex-sim in the background of a script: its options, its standard input, and the card
    # tolvex finds in its reader.
    for sim_options, stdin, card in [([], "closed", "present"),
                                     (["--card", "none"], "devnull", "absent")]:
        name = f"tolvex-sim --pty {' '.join(sim_options)} with standard input {stdin}"
        sim = Simulator(s, sim_options, stdin)
        try:
            time.sleep(0.5)  # long enough to have seen the end of its input
            check(sim.pty.startswith("/dev/") and sim.process.poll() is None,
                  f"{name}: runs on", f"{sim.pty!r}, exit {sim.process.poll()}")
            # The reader chosen works; the other port given says in one line why it did not.
            result = expect([t, "--port", f"0={sim.pty}", "--port", f"3={MISSING}", "info"], 0,
                            "reader ", "stdout")
            check(f"card          {card}" in result.stdout, f"{name}: card {card}",
                  result.stdout)
            check(result.stderr.startswith(f"tolvex: the serial device {MISSING} (port 3)") and
                  len(result.stderr.splitlines()) == 1, f"{name}: port 3 said", result.stderr)
            check(sim.process.poll() is None, f"{name}: still running")
        finally:
            code = sim.stop()
        check(code == 0, f"{name}: ends on SIGTERM", f"exit {code}")

    return verdict()


if __name__ == "__main__":
    sys.exit(main())
