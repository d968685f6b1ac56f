#!/usr/bin/python3
"""The same workload through pcscd and with the driver directly: what pcscd and the handler add.

    pcscd_bench.py --handler build-rel/pcsc/libtolvex_ifd.so --sim build-rel/tools/tolvex-sim \\
                   --tolvex build-rel/tools/tolvex [--count N] [--card dual|t1]

One simulated reader at the real wires' pace (tolvex-sim --pty --paced). First through pcscd
(started as tests/pcsc/pcscd_e2e.py starts it, in a mount namespace of its own, without its debug
log): pyscard connects under T=1, then under T=0 when the card speaks it, and sends each workload
`count` times; what is timed is pyscard's SCardTransmit call, the whole round trip (the client
library, pcscd's socket and threads, the handler, the driver, the wires). Then, pcscd stopped,
the same simulator with the tolvex command (`tolvex --port 0=PTY --json apdu ...`): what is timed
is the command's Reader::Transmit call, in process (the driver and the wires). Each side sends
one GET CHALLENGE first, untimed: under T=1 the first command after a reset carries the IFSD
announcement. The table gives the medians and their ratio (pcscd / direct).

Needs root (unshare and mount, as pcscd_e2e.py), pcscd and pyscard; without them it says so
and ends with status 0: it is a benchmark, not a test. Status 1 when something failed.
"""

import argparse
import importlib.util
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "pcsc"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from pcscd_e2e import interrupt, start_pcscd  # noqa: E402  pcscd in its own mount namespace
from e2e import Simulator  # noqa: E402  tolvex-sim --pty, its console on a pipe

READER = "Tolvex bench"
WARM_UP = "0084000008"
DATA = "".join(f"{i:02X}" for i in range(255))
# Per protocol: (workload, APDU in hex, the expected response in hex).
WORKLOADS = {
    "T=1": [("GET CHALLENGE 8", "0084000008", None),
            ("ECHO 255 in, 255 back", f"80EE0000FF{DATA}00", DATA + "9000")],
    "T=0": [("GET CHALLENGE 8", "0084000008", None),
            ("ECHO 255 in", f"80EE0000FF{DATA}", "61FF")],  # 255 bytes wait: no GET RESPONSE
}


class Failed(Exception):
    pass


def checked(what, response, expected):
    """The response in hex, after checking it: 8 bytes and 9000, or exactly what is expected."""
    text = response.hex().upper()
    good = text == expected if expected else len(response) == 10 and text.endswith("9000")
    if not good:
        raise Failed(f"{what}: unexpected response {text}")
    return text


def through_pcscd(folder, handler, pty, count):
    """{protocol: {workload: [ms]}} through pcscd, and what could not be measured."""
    pcscd = start_pcscd(folder, handler, [(READER, pty)], debug=False)
    from smartcard import scard as sc  # reads PCSCLITE_CSOCK_NAME with its first context

    times, notes, ctx = {}, [], None
    try:
        for _ in range(150):  # until pcscd is up with the reader and has seen the card
            if pcscd.poll() is not None:
                raise Failed(f"pcscd ended with status {pcscd.returncode}")
            hr, ctx = sc.SCardEstablishContext(sc.SCARD_SCOPE_USER)
            if hr == 0:
                readers = sc.SCardListReaders(ctx, [])[1]
                if readers:
                    hr, states = sc.SCardGetStatusChange(ctx, 5000, [(readers[0],
                                                                      sc.SCARD_STATE_UNAWARE)])
                    if hr == 0 and states[0][1] & sc.SCARD_STATE_PRESENT:
                        break
                sc.SCardReleaseContext(ctx)
                ctx = None
            time.sleep(0.2)
        else:
            raise Failed("pcscd did not show the reader with its card within 30 s")
        reader = readers[0]
        for name, t, pci in (("T=1", sc.SCARD_PROTOCOL_T1, sc.SCARD_PCI_T1),
                             ("T=0", sc.SCARD_PROTOCOL_T0, sc.SCARD_PCI_T0)):
            hr, card, protocol = sc.SCardConnect(ctx, reader, sc.SCARD_SHARE_EXCLUSIVE, t)
            if hr != 0 or protocol != t:
                notes.append(f"{name}: not through pcscd (SCardConnect: "
                             f"0x{hr & 0xFFFFFFFF:08X}, protocol {protocol})")
                continue
            try:
                times[name] = {workload: [] for workload, _, _ in WORKLOADS[name]}
                plan = [(WARM_UP, None, None)] + [
                    (apdu, workload, expected) for _ in range(count)
                    for workload, apdu, expected in WORKLOADS[name]]
                for apdu, workload, expected in plan:
                    command = list(bytes.fromhex(apdu))
                    start = time.perf_counter()
                    hr, response = sc.SCardTransmit(card, pci, command)
                    ms = (time.perf_counter() - start) * 1000
                    if hr != 0:
                        raise Failed(f"{name} {workload}: SCardTransmit 0x{hr & 0xFFFFFFFF:08X}")
                    checked(f"{name} {workload} through pcscd", bytes(response), expected)
                    if workload:
                        times[name][workload].append(ms)
            finally:
                sc.SCardDisconnect(card, sc.SCARD_RESET_CARD)
        sc.SCardReleaseContext(ctx)
        ctx = None
        if interrupt(pcscd) not in (0, 1):
            raise Failed("pcscd did not stop within 5 s of SIGINT")
    finally:
        if pcscd.poll() is None:
            pcscd.kill()
            pcscd.wait()
    return times, notes


def direct(tolvex, pty, protocols, count):
    """{protocol: {workload: [ms]}}: the tolvex command's own time for each Transmit."""
    times = {}
    for name in protocols:
        plan = [(WARM_UP, None, None)] + [(apdu, workload, expected) for _ in range(count)
                                          for workload, apdu, expected in WORKLOADS[name]]
        # As pyscard's SCardTransmit: one exchange an APDU, no GET RESPONSE sent for 61 xx.
        result = subprocess.run([tolvex, "--port", f"0={pty}", "--json", "apdu", "--protocol",
                                 "t1" if name == "T=1" else "t0", "--no-get-response",
                                 *(p[0] for p in plan)],
                                capture_output=True, text=True, timeout=60 + 5 * count)
        lines = [json.loads(line) for line in result.stdout.splitlines() if line.startswith("{")]
        answers = [line for line in lines if line.get("command") == "apdu"]
        if result.returncode != 0 or len(answers) != len(plan):
            raise Failed(f"{name} direct: tolvex ended with status {result.returncode}, "
                         f"{len(answers)} of {len(plan)} answers: {result.stderr.strip()}")
        times[name] = {workload: [] for workload, _, _ in WORKLOADS[name]}
        for (_, workload, expected), answer in zip(plan, answers):
            if answer.get("protocol") != name:
                raise Failed(f"{name} direct: the card answered under {answer.get('protocol')}")
            response = bytes.fromhex(answer["data"].replace(" ", "") + answer["sw"])
            checked(f"{name} {workload} direct", response, expected)
            if workload:
                times[name][workload].append(answer["ms"])
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--handler", required=True, help="libtolvex_ifd.so")
    parser.add_argument("--sim", required=True, help="the tolvex-sim program")
    parser.add_argument("--tolvex", required=True, help="the tolvex program")
    parser.add_argument("--count", type=int, default=20, help="transmits of each workload")
    parser.add_argument("--card", default="dual", choices=("dual", "t1"),
                        help="the simulated card (dual: T=1 and T=0; t1: T=1 only)")
    args = parser.parse_args()
    missing = [tool for tool in ("unshare", "mount", "pcscd") if shutil.which(tool) is None]
    if importlib.util.find_spec("smartcard") is None:
        missing.append(f"pyscard for {sys.executable} (python3-pyscard)")
    if os.geteuid() != 0 or missing:
        print("pcscd_bench: skipped: " +
              "; ".join((["needs root (pcscd in a mount namespace of its own)"]
                         if os.geteuid() != 0 else []) +
                        ([f"missing: {', '.join(missing)} (scripts/deps installs them)"]
                         if missing else [])))
        return 0
    folder = tempfile.mkdtemp(prefix="tolvex-pcscd-bench-")
    os.chmod(folder, 0o755)
    signal.signal(signal.SIGALRM, lambda *_: sys.exit("pcscd_bench: FAILED: ran past its limit"))
    signal.alarm(120 + 6 * args.count)
    sim = None
    try:
        sim = Simulator(args.sim, ["--card", args.card, "--paced"])
        pcscd_times, notes = through_pcscd(folder, os.path.abspath(args.handler), sim.pty,
                                           args.count)
        direct_times = direct(args.tolvex, sim.pty, list(pcscd_times), args.count)
    except Failed as failure:
        log = os.path.join(folder, "pcscd.log")
        tail = open(log).read()[-2000:] if os.path.exists(log) else ""
        print(f"pcscd_bench: FAILED: {failure}\n{tail}")
        return 1
    finally:
        signal.alarm(0)
        if sim is not None:
            sim.close()
        shutil.rmtree(folder, ignore_errors=True)

    print(f"pcscd against direct: {args.card} card, paced, {args.count} transmits each, "
          "medians (direct: tolvex's Reader::Transmit; pcscd: pyscard's SCardTransmit)")
    print(f"{'workload':<28} {'direct ms':>10} {'pcscd ms':>10} {'ratio':>7}")
    for name, workloads in pcscd_times.items():
        for workload, through in workloads.items():
            mine, theirs = (statistics.median(direct_times[name][workload]),
                            statistics.median(through))
            print(f"{name + ' ' + workload:<28} {mine:>10.2f} {theirs:>10.2f} "
                  f"{theirs / mine:>7.3f}")
    for note in notes:
        print(note)
    return 0


if __name__ == "__main__":
    sys.exit(main())
