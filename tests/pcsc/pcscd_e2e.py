#!/usr/bin/python3
"""End to end: Debian's pcscd with the tolvex handler, and an unmodified PC/SC application.

    pcscd_e2e.py --handler build/pcsc/libtolvex_ifd.so --sim build/tools/tolvex-sim

Two readers (tolvex-sim --pty) in a reader.conf.d folder of the test's own; pcscd in a private
mount namespace with /run/pcscd bound to a fresh folder. What the handler's own tests cannot
show: pcscd loading it, using its poll function, its buffers and its teardown. Needs root.
"""

import argparse
import json
import math
import re
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from e2e import Simulator  # noqa: E402  tolvex-sim --pty, its console on a pipe

T1_ATR = bytes.fromhex("3B82813120455431 32")
T0_ATR = bytes.fromhex("3B021450")
FILE = bytes((i * 13 + 7) & 0xFF for i in range(256))
CHALLENGE = list(bytes.fromhex("0084000008"))  # GET CHALLENGE: eight bytes and 90 00


def check(condition, what, detail=""):
    if not condition:
        raise AssertionError(f"{what}: {detail}")
    print(f"ok   {what}", flush=True)


def start_pcscd(folder, handler, readers, debug=True, name=""):
    """pcscd in a mount namespace of its own (unshare and sh exec: the process is pcscd); its
    log in folder/pcscd{name}.log, at debug level with `debug`. Every pcscd of a test has the
    same socket (the client library keeps the name it found first)."""
    conf, run = os.path.join(folder, "conf" + name), os.path.join(folder, "run")
    os.mkdir(conf)
    os.makedirs(run, exist_ok=True)
    with open(os.path.join(conf, "tolvex"), "w") as f:
        for friendly, device in readers:
            f.write(f'FRIENDLYNAME "{friendly}"\nDEVICENAME {device}\nLIBPATH {handler}\n'
                    "CHANNELID 0\n\n")
    os.environ["PCSCLITE_CSOCK_NAME"] = os.path.join(run, "pcscd.comm")
    script = (f"mkdir -p /run/pcscd && mount --bind '{run}' /run/pcscd && "
              f"exec pcscd --foreground {'--debug ' if debug else ''}--config '{conf}'")
    return subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c", script],
                            stdout=open(os.path.join(folder, f"pcscd{name}.log"), "w"),
                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)


def interrupt(pcscd):
    """SIGINT: pcscd's exit status, once it stopped. pcscd 1.9.9 can sleep on after the signal
    until a client comes, so the wait knocks on its socket (a connection, no request)."""
    start = time.monotonic()
    pcscd.send_signal(signal.SIGINT)
    while time.monotonic() - start < 5:
        try:
            return pcscd.wait(timeout=0.5)
        except subprocess.TimeoutExpired:
            with socket.socket(socket.AF_UNIX) as knock:  # refused: it is on its way out
                knock.connect_ex(os.environ["PCSCLITE_CSOCK_NAME"])
    return None


def complaints_while_away(log_text):
    """pcscd's complaints about the reader in its polls, from a second after the handler said it
    was gone until it said it was back (pcscd complains once as it goes). Each log line begins
    with the microseconds since the line before."""
    at, gone, found = 0, None, []
    for line in log_text.splitlines():
        fields = line.split(" ", 1)
        if len(fields) < 2 or not fields[0].isdigit():
            continue
        at += int(fields[0])
        if "the reader is gone" in line:
            gone = at
        elif "the reader is back" in line:
            break
        elif gone is not None and at > gone + 1_000_000 and (
                "IFDStatusICC() Card not transacted" in line or "Error communicating" in line):
            found.append(line)
    return found


SCARD_ATTR_MAXINPUT = 0x7A007  # SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0xA007)


def session(sc, pcscd, sims, log, args_sim):
    for _ in range(150):  # until pcscd is up with both readers
        assert pcscd.poll() is None, f"pcscd ended with status {pcscd.returncode}"
        hr, ctx = sc.SCardEstablishContext(sc.SCARD_SCOPE_USER)
        readers = sc.SCardListReaders(ctx, [])[1] if hr == 0 else []
        if len(readers) >= 2:
            break
        if hr == 0:
            sc.SCardReleaseContext(ctx)
        time.sleep(0.2)
    names = {r[len("Tolvex ")]: r for r in readers}
    check(set(names) == {"A", "B"}, "readers A and B", readers)

    def wait_for(letter, flag, atr_wanted=None):
        """Waits through SCardGetStatusChange until the reader's state has `flag` (and the ATR
        is `atr_wanted`, if given): its ATR."""
        end, current, atr = time.monotonic() + 5, sc.SCARD_STATE_UNAWARE, b""
        while not current & flag or atr_wanted not in (None, atr):
            left = int((end - time.monotonic()) * 1000)
            assert left > 0, f"reader {letter}: state 0x{current:X} never got 0x{flag:X}"
            hr, states = sc.SCardGetStatusChange(ctx, left, [(names[letter], current)])
            if hr != sc.SCARD_E_TIMEOUT:
                assert hr == 0, f"SCardGetStatusChange: 0x{hr & 0xFFFFFFFF:08X}"
                current, atr = states[0][1], bytes(states[0][2])
        return atr

    moves = []  # how long pcscd takes to see each card move
    for letter, model, atr, t in (("A", "t1", T1_ATR, 2), ("B", "t0", T0_ATR, 1)):
        for move, flag in (("remove", sc.SCARD_STATE_EMPTY),
                           (f"insert {model}", sc.SCARD_STATE_PRESENT)):
            start = time.monotonic()
            sims[letter].command(move)
            seen = wait_for(letter, flag)
            moves.append(time.monotonic() - start)
        check(seen == atr, f"{model}: ATR of the status")
        hr, card, protocol = sc.SCardConnect(ctx, names[letter], sc.SCARD_SHARE_SHARED, t)
        pci = sc.SCARD_PCI_T1 if t == 2 else sc.SCARD_PCI_T0
        hr_status, _, _, status_protocol, status_atr = sc.SCardStatus(card)
        check((hr, protocol, hr_status, status_protocol, bytes(status_atr)) == (0, t, 0, t, atr),
              f"{model}: SCardConnect and SCardStatus")
        # The file's selection, and the longest response through pcscd's buffers.
        for apdu, data in (("00A40000020101", b""), ("00B0000000", FILE)):
            hr, response = sc.SCardTransmit(card, pci, list(bytes.fromhex(apdu)))
            check(hr == 0 and bytes(response) == data + b"\x90\x00", f"{model}: {apdu}", hr)
        # Extended lengths: a long command and a long answer under T=1, refused under T=0.
        hr, maxinput = sc.SCardGetAttrib(card, SCARD_ATTR_MAXINPUT)
        check(hr == 0 and int.from_bytes(bytes(maxinput), "little") == 65544,
              f"{model}: SCARD_ATTR_MAXINPUT", (hr, maxinput))
        data = bytes(i * 7 & 0xFF for i in range(4096))
        echo = bytes.fromhex("80EE0000001000") + data + b"\x00\x00"
        hr, response = sc.SCardTransmit(card, pci, list(echo))
        if t == 2:
            check(hr == 0 and bytes(response) == data + b"\x90\x00", f"{model}: ECHO of 4,096 bytes",
                  f"0x{hr & 0xFFFFFFFF:08X} {len(response)}")
            hr, response = sc.SCardTransmit(card, pci, list(bytes.fromhex("00840000000000")))
            check(hr == 0 and len(response) == 65538 and bytes(response)[-2:] == b"\x90\x00",
                  f"{model}: GET CHALLENGE of 65,536 bytes", f"0x{hr & 0xFFFFFFFF:08X} {len(response)}")
        else:
            check(hr == sc.SCARD_E_NOT_TRANSACTED, f"{model}: an extended APDU is refused",
                  f"0x{hr & 0xFFFFFFFF:08X}")
        sc.SCardDisconnect(card, sc.SCARD_UNPOWER_CARD if t == 1 else sc.SCARD_LEAVE_CARD)

    # A card swapped for another: pcscd sees the one go and the other come, and serves the
    # new card's ATR.
    before = len(log())
    start = time.monotonic()
    sims["A"].command("insert t0")
    wait_for("A", sc.SCARD_STATE_PRESENT, T0_ATR)
    moves.append(time.monotonic() - start)
    after = log()[before:]
    removed = after.find("Card Removed From Tolvex A")
    inserted = after.find("Card inserted into Tolvex A")
    check(0 <= removed < inserted, "a card swapped is a removal, then an insertion", after[-2000:])

    # Reader A's device goes away and comes back under its name, three times in a row: pcscd
    # tells applications the reader is unavailable while it is away, reader B works on, and
    # once a reader answers under the name again, A works without pcscd being restarted.
    link = sims["A"].link
    gone_s, back_s = [], []
    for cycle in range(3):
        log_before = len(log())
        in_flight = None
        if cycle == 0:  # a transmit the reader leaves unanswered, in flight as the device goes
            # (A holds the T=0 card the swap put in)
            hr, card, _ = sc.SCardConnect(ctx, names["A"], sc.SCARD_SHARE_SHARED, 1)
            assert hr == 0, f"SCardConnect: 0x{hr & 0xFFFFFFFF:08X}"
            sims["A"].command("fault silence")
            in_flight = {}

            def transmit():
                in_flight["hr"] = sc.SCardTransmit(card, sc.SCARD_PCI_T0, CHALLENGE)[0]
                in_flight["end"] = time.monotonic()

            thread = threading.Thread(target=transmit)
            thread.start()
            time.sleep(0.3)
        sims["A"].command("quit")
        sims["A"].process.wait(10)
        start = time.monotonic()  # the device gone
        while True:
            hr, states = sc.SCardGetStatusChange(ctx, 0, [(names["A"], sc.SCARD_STATE_UNAWARE)])
            if hr == 0 and states[0][1] & sc.SCARD_STATE_UNAVAILABLE:
                break
            assert time.monotonic() - start < 10, f"A never unavailable: 0x{states[0][1]:X}"
            time.sleep(0.05)
        gone_s.append(time.monotonic() - start)
        if in_flight is not None:
            thread.join(15)
            # Left to the driver, its wait for the answer would run on for seconds.
            took = in_flight.get("end", math.inf) - start
            check(in_flight.get("hr") == sc.SCARD_E_READER_UNAVAILABLE and took < 2,
                  f"a transmit in flight as the device goes: the reader unavailable, {took:.2f} s "
                  "after", in_flight)
            stale = card  # let go of once the reader is back: a disconnect wakes pcscd's poll
        hr, card, _ = sc.SCardConnect(ctx, names["A"], sc.SCARD_SHARE_SHARED, 2)
        check(hr == sc.SCARD_E_READER_UNAVAILABLE, "A away: a connect finds it unavailable",
              f"0x{hr & 0xFFFFFFFF:08X}")
        hr, card, _ = sc.SCardConnect(ctx, names["B"], sc.SCARD_SHARE_SHARED, 1)
        hr_b, response = sc.SCardTransmit(card, sc.SCARD_PCI_T0, CHALLENGE)
        sc.SCardDisconnect(card, sc.SCARD_LEAVE_CARD)
        check(hr == 0 and hr_b == 0 and len(response) == 10 and bytes(response)[-2:] == b"\x90\x00",
              "B works on", f"0x{hr_b & 0xFFFFFFFF:08X} {bytes(response).hex()}")
        time.sleep(3)  # away for a while, as a pulled adapter is
        start = time.monotonic()
        sims["A"] = Simulator(args_sim, ["--card", "t1", "--link", link])
        sims["A"].link = link
        wait_for("A", sc.SCARD_STATE_PRESENT, T1_ATR)
        hr, card, _ = sc.SCardConnect(ctx, names["A"], sc.SCARD_SHARE_SHARED, 2)
        hr_a, response = sc.SCardTransmit(card, sc.SCARD_PCI_T1, CHALLENGE)
        back_s.append(time.monotonic() - start)
        sc.SCardDisconnect(card, sc.SCARD_UNPOWER_CARD)
        if in_flight is not None:
            sc.SCardDisconnect(stale, sc.SCARD_LEAVE_CARD)
        check(hr == 0 and hr_a == 0 and len(response) == 10 and bytes(response)[-2:] == b"\x90\x00",
              "A back: connect and APDU", f"0x{hr & 0xFFFFFFFF:08X} 0x{hr_a & 0xFFFFFFFF:08X}")
        away = log()[log_before:]
        check(away.count("the reader is gone") == 1 and away.count("the reader is back") == 1 and
              not complaints_while_away(away),
              "one line when it goes, one when it is back, no complaint a poll",
              complaints_while_away(away) or away[-3000:])
    print(f"     away and back: unavailable after {', '.join(f'{t:.2f}' for t in gone_s)} s; "
          f"first APDU after {', '.join(f'{t:.2f}' for t in back_s)} s", flush=True)
    # The first time, the transmit in flight holds the reader until the driver's time-outs end it.
    check(gone_s[0] < 10 and max(gone_s[1:]) < 2.0 and max(back_s) < 4.0,
          "noticed within 2 s (with a transmit in flight, once it ends), back within 4 s")

    # pcscd waits on the handler's poll function rather than asking at its own pace.
    check("Using the reader polling thread" in log() and max(moves) < 3.0,
          f"card moves seen after {', '.join(f'{m:.2f}' for m in moves)} s, by the poll")
    sc.SCardReleaseContext(ctx)


def log_levels(sc, folder, handler, args_sim):
    """TOLVEX_LOG at each level, with pcscd at its own default level (as Debian's unit runs it):
    the lines of one start, one card event, one APDU and the stop; with "wire" the frames
    decoded, and in TOLVEX_TRACE_FILE as JSON lines."""
    trace_file = os.path.join(folder, "trace.jsonl")
    for level in ("error", "info", "wire"):
        sim = Simulator(args_sim, ["--card", "t1"])
        os.environ["TOLVEX_LOG"] = level
        if level == "wire":
            os.environ["TOLVEX_TRACE_FILE"] = trace_file
        pcscd = start_pcscd(folder, handler, [("Tolvex L", sim.pty)], debug=False, name=level)
        try:
            for _ in range(100):  # until pcscd is up with the reader and its card
                hr, ctx = sc.SCardEstablishContext(sc.SCARD_SCOPE_USER)
                if hr == 0:
                    readers = sc.SCardListReaders(ctx, [])[1]
                    if readers:
                        break
                    sc.SCardReleaseContext(ctx)
                time.sleep(0.1)
            hr, states = sc.SCardGetStatusChange(ctx, 5000, [(readers[0], sc.SCARD_STATE_UNAWARE)])
            hr, card, _ = sc.SCardConnect(ctx, readers[0], sc.SCARD_SHARE_SHARED, 2)
            hr_t, response = sc.SCardTransmit(card, sc.SCARD_PCI_T1, CHALLENGE)
            sc.SCardDisconnect(card, sc.SCARD_LEAVE_CARD)
            check(hr == 0 and hr_t == 0 and len(response) == 10, f"TOLVEX_LOG={level}: an APDU")
            sim.command("remove")
            sc.SCardGetStatusChange(ctx, 5000, [(readers[0], sc.SCARD_STATE_PRESENT)])
            sc.SCardReleaseContext(ctx)
            check(interrupt(pcscd) in (0, 1), f"TOLVEX_LOG={level}: pcscd stops")
        finally:
            if pcscd.poll() is None:
                pcscd.kill()
                pcscd.wait()
            sim.close()
            os.environ.pop("TOLVEX_LOG", None)
            os.environ.pop("TOLVEX_TRACE_FILE", None)
        with open(os.path.join(folder, f"pcscd{level}.log")) as f:
            ours = [line for line in f.read().splitlines() if "tolvex: " in line]
        device = sim.pty
        wanted = {"error": [],
                  "info": [f"{device}: reader started, firmware", f"{device}: card in",
                           f"{device}: protocol T=1", f"{device}: card out",
                           f"{device}: reader stopped"]}
        wanted["wire"] = wanted["info"] + [" ms  host: ", " ms  reader: answer 90",
                                           " ms  card: "]
        missing = [w for w in wanted[level] if not any(w in line for line in ours)]
        wire = [line for line in ours if " ms  " in line]
        check(not missing and (level == "wire") == bool(wire) and
              (level != "error" or not ours),
              f"TOLVEX_LOG={level}: its lines and no others",
              f"missing {missing}; {len(wire)} wire lines; ours:\n" + "\n".join(ours[:40]))
    with open(trace_file) as f:
        lines = [json.loads(line) for line in f]
    keys = {"trace", "dir", "us", "bytes", "port", "device"}
    check(lines and all(set(line) == keys and line["dir"] in ("host", "reader") for line in lines)
          and any("00 84 00 00 08" in line["bytes"] for line in lines),
          "TOLVEX_TRACE_FILE: every frame as a JSON line, the APDU among them", lines[:5])
    # The file read back by the replay: the driver's start under tolvex follows the one
    # recorded under pcscd, up to its last question (the card's presence, register 4); then
    # pcscd's session, not tolvex info's, goes on.
    tolvex = os.path.join(os.path.dirname(os.path.abspath(args_sim)), "tolvex")
    result = subprocess.run([tolvex, "--replay", trace_file, "info"], capture_output=True,
                            text=True, timeout=60)
    frame = re.search(r"frame (\d+) of", result.stderr)
    start = next(i for i, line in enumerate(lines, 1) if line["trace"] == "host: read register 4")
    check(result.stdout.startswith("reader ") and frame and int(frame.group(1)) > start + 1,
          "TOLVEX_TRACE_FILE read back by tolvex --replay: the driver's start as recorded",
          result.stderr[-600:])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--handler", required=True, help="libtolvex_ifd.so")
    parser.add_argument("--sim", required=True, help="the tolvex-sim program")
    args = parser.parse_args()
    handler = os.path.abspath(args.handler)
    missing = [tool for tool in ("unshare", "mount", "pcscd") if shutil.which(tool) is None]
    if os.geteuid() != 0 or missing:
        sys.exit(f"pcscd_e2e: FAILED: needs root, for pcscd in a mount namespace of its own, "
                 f"and these, missing here (scripts/deps installs them): {missing}")
    folder = tempfile.mkdtemp(prefix="tolvex-pcscd-")
    os.chmod(folder, 0o755)
    signal.signal(signal.SIGALRM, lambda *_: sys.exit("FAIL: the test ran past 200 s"))
    signal.alarm(200)
    sims, pcscd, passed = {}, None, False

    def log():
        try:
            with open(os.path.join(folder, "pcscd.log")) as f:
                return f.read()
        except OSError:  # pcscd never started
            return ""

    try:
        # Reader A by a stable name, which a simulator started again takes over.
        link = os.path.join(folder, "reader-a")
        sims = {"A": Simulator(args.sim, ["--card", "t1", "--link", link]),
                "B": Simulator(args.sim, ["--card", "t0"])}
        sims["A"].link = link
        pcscd = start_pcscd(folder, handler, [("Tolvex A", link), ("Tolvex B", sims["B"].pty)])
        from smartcard import scard  # reads PCSCLITE_CSOCK_NAME with its first context
        session(scard, pcscd, sims, log, args.sim)
        # No client is left waiting: pcscd 1.9.9 may itself crash when a request comes in while
        # it exits. Its status after SIGINT is 1 with or without readers.
        check(interrupt(pcscd) in (0, 1), "pcscd stops within 5 s of SIGINT, status 0 or 1")
        check(f"tolvex: {link}: closed" in log(), "SIGINT closes the channels")
        log_levels(scard, folder, handler, args.sim)
        passed = True
    finally:
        signal.alarm(0)
        if not passed and pcscd is not None:
            print(f"FAIL; the end of pcscd's log:\n{log()[-3000:]}")
        if pcscd is not None and pcscd.poll() is None:
            pcscd.kill()
            pcscd.wait()
        for sim in sims.values():
            sim.close()
        shutil.rmtree(folder, ignore_errors=True)
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
