#!/usr/bin/python3
"""End to end: Debian's pcscd with the tolvex handler, and unmodified PC/SC applications.

    pcscd_e2e.py --handler build/pcsc/libtolvex_ifd.so --sim build/tools/tolvex-sim

Two readers (tolvex-sim --pty, driven through its standard input) in a reader.conf.d folder of
the test's own; pcscd in a private mount namespace with /run/pcscd bound to a fresh folder, so
no pcscd of the system is disturbed; the clients (pyscard here, scriptor, pcsc_scan) reach it
through PCSCLITE_CSOCK_NAME. Needs root. Exit status 0 only if every check passed.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback

T1_ATR = bytes.fromhex("3B82813120455431 32")
T0_ATR = bytes.fromhex("3B021450")
FILE = bytes((i * 13 + 7) & 0xFF for i in range(256))
TIME_LIMIT_S = 150


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def run(args, env, stdin=None):
    return subprocess.run(args, input=stdin, env=env, capture_output=True, text=True, timeout=20)


class Sim:
    """tolvex-sim --pty, with its console on a pipe."""

    def __init__(self, binary, folder, name, card=None):
        self.log = open(os.path.join(folder, f"sim-{name}.log"), "w")
        self.proc = subprocess.Popen([binary, "--pty"] + (["--card", card] if card else []),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.log, text=True, bufsize=1)
        self.path = self.proc.stdout.readline().strip()
        check(self.path.startswith("/dev/"), f"tolvex-sim gave no terminal: {self.path!r}")

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().strip()
        check(answer.startswith("ok"), f"tolvex-sim '{line}': {answer!r}")

    def quit(self):
        self.proc.stdin.close()  # the end of its console: it quits
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


class Pcscd:
    """pcscd in a mount namespace of its own, with the readers (name, device) given."""

    def __init__(self, folder, name, handler, readers):
        conf = os.path.join(folder, f"conf-{name}")
        self.run = os.path.join(folder, f"run-{name}")
        os.mkdir(conf)
        os.mkdir(self.run)
        with open(os.path.join(conf, "tolvex"), "w") as f:
            for friendly, device in readers:
                f.write(f'FRIENDLYNAME "{friendly}"\nDEVICENAME {device}\nLIBPATH {handler}\n'
                        "CHANNELID 0\n\n")
        self.env = dict(os.environ, PCSCLITE_CSOCK_NAME=os.path.join(self.run, "pcscd.comm"))
        self.log_path = os.path.join(folder, f"pcscd-{name}.log")
        self.log = open(self.log_path, "w")
        script = (f"mkdir -p /run/pcscd && mount --bind '{self.run}' /run/pcscd && "
                  f"exec pcscd --foreground --debug --config '{conf}'")
        # unshare and sh exec: the process is pcscd itself, so its PID is ours to signal.
        self.proc = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c",
                                      script], stdout=self.log, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)

    def wait_ready(self, names, limit=30.0):
        """Polls pcsc_scan -r (whose status is 0 even with no reader) for every name."""
        end = time.monotonic() + limit
        while time.monotonic() < end:
            check(self.proc.poll() is None, f"pcscd ended with status {self.proc.returncode}")
            listing = run(["pcsc_scan", "-r"], self.env).stdout
            if all(name in listing for name in names):
                return listing
            time.sleep(0.2)
        raise Failure(f"pcscd did not list {names} within {limit:.0f} s")

    def stop(self, sig):
        """Signals pcscd: its exit status, once it stopped within 5 s. pcscd 1.9.9 can sleep
        on after the signal until a client comes, so the wait knocks on its socket (a
        connection, no request) after a second and every half second after that."""
        start = time.monotonic()
        self.proc.send_signal(sig)
        while True:
            try:
                status = self.proc.wait(timeout=1.0 if time.monotonic() - start < 0.5 else 0.5)
                break
            except subprocess.TimeoutExpired:
                check(time.monotonic() - start < 10, f"pcscd still runs 10 s after signal {sig}")
                with socket.socket(socket.AF_UNIX) as knock:
                    try:
                        knock.connect(self.env["PCSCLITE_CSOCK_NAME"])
                    except OSError:
                        pass  # it closed its socket: it is on its way out
        took = time.monotonic() - start
        check(took < 5.0, f"pcscd took {took:.1f} s to stop after signal {sig}")
        return status

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.log.close()

    def logged(self):
        with open(self.log_path) as f:
            return f.read()


class Session:
    """The checks, in order, against one pcscd with readers A and B."""

    def __init__(self, sc, pcscd, sims):
        self.sc, self.pcscd, self.sims = sc, pcscd, sims
        hr, self.ctx = sc.SCardEstablishContext(sc.SCARD_SCOPE_USER)
        check(hr == 0, f"SCardEstablishContext: {self.err(hr)}")
        hr, readers = sc.SCardListReaders(self.ctx, [])
        self.names = {}
        for letter in "AB":
            found = [r for r in readers if r.startswith(f"Tolvex {letter} ")]
            check(len(found) == 1, f"reader {letter} not listed once: {readers}")
            self.names[letter] = found[0]

    def err(self, hr):
        return f"0x{hr & 0xFFFFFFFF:08X} ({self.sc.SCardGetErrorMessage(hr)})" if hr else "success"

    def wait_for(self, letter, flag, limit=5.0):
        """Waits through SCardGetStatusChange until the reader's state has `flag`."""
        end, current, atr = time.monotonic() + limit, self.sc.SCARD_STATE_UNAWARE, b""
        while not current & flag:
            left = int((end - time.monotonic()) * 1000)
            check(left > 0, f"reader {letter}: state 0x{current:X} never got 0x{flag:X}")
            hr, states = self.sc.SCardGetStatusChange(self.ctx, left,
                                                      [(self.names[letter], current)])
            if hr != self.sc.SCARD_E_TIMEOUT:
                check(hr == 0, f"SCardGetStatusChange: {self.err(hr)}")
                current, atr = states[0][1], bytes(states[0][2])
        return atr

    def card(self, letter, model):
        """Takes any card out of reader `letter` and puts a `model` card in: its ATR."""
        self.sims[letter].command("remove")
        self.wait_for(letter, self.sc.SCARD_STATE_EMPTY)
        self.sims[letter].command(f"insert {model}")
        return self.wait_for(letter, self.sc.SCARD_STATE_PRESENT)

    def connect(self, letter, protocols, expect=0):
        hr, card, protocol = self.sc.SCardConnect(self.ctx, self.names[letter],
                                                  self.sc.SCARD_SHARE_SHARED, protocols)
        check(hr == expect, f"SCardConnect {letter}: {self.err(hr)}")
        return card, protocol

    def transmit(self, card, protocol, apdu):
        pci = self.sc.SCARD_PCI_T1 if protocol == self.sc.SCARD_PROTOCOL_T1 else self.sc.SCARD_PCI_T0
        hr, response = self.sc.SCardTransmit(card, pci, list(apdu))
        return hr, bytes(response)

    def exchange(self, card, protocol, apdu, sw="9000"):
        hr, response = self.transmit(card, protocol, apdu)
        check(hr == 0, f"{apdu.hex()}: {self.err(hr)}")
        check(response[-2:].hex().upper() == sw, f"{apdu.hex()}: {response.hex()}, not SW {sw}")
        return response[:-2]

    def apdus(self, card, protocol):
        """Cases 1 to 4, with 255 and 256 data bytes, on a card of the simulator."""
        self.exchange(card, protocol, bytes.fromhex("00A40400"), sw="6700")  # case 1
        self.exchange(card, protocol, bytes.fromhex("00A40000020101"))  # case 3
        data = self.exchange(card, protocol, bytes.fromhex("00B0000000"))  # case 2, Le 256
        check(data == FILE, f"READ BINARY 256: {len(data)} bytes, not the file's")
        echo = bytes.fromhex("80EE0000FF") + bytes(range(255))  # case 4: 255 in, 256 asked
        if protocol == self.sc.SCARD_PROTOCOL_T0:
            # A T=0 card answers a case 4 command with 61xx; GET RESPONSE fetches the data.
            self.exchange(card, protocol, echo, sw="61FF")
            data = self.exchange(card, protocol, bytes.fromhex("00C00000FF"))
        else:
            data = self.exchange(card, protocol, echo + b"\x00")
        check(data == bytes(range(255)), f"ECHO 255: {data.hex()}")

    def test_t1_card(self):
        sc = self.sc
        check(self.card("A", "t1") == T1_ATR, "ATR from SCardGetStatusChange")
        card, protocol = self.connect("A", sc.SCARD_PROTOCOL_T1)
        hr, _, _, status_protocol, atr = sc.SCardStatus(card)
        check((hr, status_protocol, bytes(atr)) == (0, protocol, T1_ATR) and protocol == 2,
              f"SCardStatus: {self.err(hr)}, T {status_protocol}, ATR {bytes(atr).hex()}")
        self.apdus(card, protocol)
        sc.SCardDisconnect(card, sc.SCARD_LEAVE_CARD)

    def test_t0_card(self):
        sc = self.sc
        check(self.card("B", "t0") == T0_ATR, "ATR from SCardGetStatusChange")
        self.connect("B", sc.SCARD_PROTOCOL_T1, expect=sc.SCARD_E_PROTO_MISMATCH)
        card, protocol = self.connect("B", sc.SCARD_PROTOCOL_T0)
        check(protocol == sc.SCARD_PROTOCOL_T0, f"protocol {protocol}")
        self.apdus(card, protocol)
        sc.SCardDisconnect(card, sc.SCARD_UNPOWER_CARD)

    def test_insertion_and_removal(self):
        sc = self.sc
        card, protocol = self.connect("A", sc.SCARD_PROTOCOL_T1)
        start = time.monotonic()
        self.sims["A"].command("remove")
        self.wait_for("A", sc.SCARD_STATE_EMPTY)
        removed = time.monotonic() - start
        hr, _ = self.transmit(card, protocol, bytes.fromhex("0084000008"))
        check(hr in (sc.SCARD_W_REMOVED_CARD, sc.SCARD_E_NO_SMARTCARD),
              f"transmit once pcscd saw the removal: {self.err(hr)}")
        sc.SCardDisconnect(card, sc.SCARD_LEAVE_CARD)
        start = time.monotonic()
        self.sims["A"].command("insert t1")
        self.wait_for("A", sc.SCARD_STATE_PRESENT)
        inserted = time.monotonic() - start
        # pcscd waits on the handler's poll function rather than asking at its own pace.
        check("Using the reader polling thread" in self.pcscd.logged(),
              "pcscd does not use the handler's poll function")
        check(inserted < 3.0 and removed < 2.0,
              f"insertion seen after {inserted:.2f} s, removal after {removed:.2f} s")


def checked(results, name, body):
    """Runs one check, and prints and counts its outcome."""
    start = time.monotonic()
    try:
        body()
        results.append(True)
        print(f"ok   {name} ({time.monotonic() - start:.1f} s)", flush=True)
    except Exception as error:  # every failure is reported and counted
        results.append(False)
        detail = str(error) if isinstance(error, Failure) else traceback.format_exc()
        print(f"FAIL {name}: {detail}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--handler", required=True, help="libtolvex_ifd.so")
    parser.add_argument("--sim", required=True, help="the tolvex-sim program")
    parser.add_argument("--keep", action="store_true", help="keep the test folder and logs")
    args = parser.parse_args()
    handler = os.path.abspath(args.handler)
    missing = [tool for tool in ("unshare", "mount", "pcscd", "pcsc_scan", "scriptor")
               if shutil.which(tool) is None]
    missing += [path for path in (handler, args.sim) if not os.path.exists(path)]
    if os.geteuid() != 0 or missing:
        print(f"pcscd_e2e: FAILED: needs root, to run pcscd in a mount namespace of its own, "
              f"and these, missing here (scripts/deps installs them): {missing}", file=sys.stderr)
        return 1

    folder = tempfile.mkdtemp(prefix="tolvex-pcscd-")
    os.chmod(folder, 0o755)
    results, sims, daemons = [], [], []

    def out_of_time(signum, frame):
        raise Failure(f"the test ran past {TIME_LIMIT_S} s")

    signal.signal(signal.SIGALRM, out_of_time)
    signal.alarm(TIME_LIMIT_S)
    try:
        sims += [Sim(args.sim, folder, "A", card="t1"), Sim(args.sim, folder, "B")]
        first = Pcscd(folder, "first", handler, [("Tolvex A", sims[0].path),
                                                 ("Tolvex B", sims[1].path)])
        daemons.append(first)
        checked(results, "both readers listed by pcsc_scan",
                lambda: first.wait_ready(["Tolvex A", "Tolvex B"]))
        if results[-1]:
            # The client library reads the socket's name when the first context is made.
            os.environ["PCSCLITE_CSOCK_NAME"] = first.env["PCSCLITE_CSOCK_NAME"]
            from smartcard import scard
            session = Session(scard, first, {"A": sims[0], "B": sims[1]})
            for name in [name for name in Session.__dict__ if name.startswith("test_")]:
                checked(results, name, getattr(session, name))
            scard.SCardReleaseContext(session.ctx)
        # SIGTERM: pcscd ends at once, without closing its channels.
        checked(results, "sigterm", lambda: check(first.stop(signal.SIGTERM) == 0, "status"))

        # A second pcscd: a device that is no terminal is dropped (the handler's open fails)
        # and reader A works; SIGINT then closes every channel.
        second = Pcscd(folder, "second", handler, [("Tolvex A", sims[0].path),
                                                   ("Tolvex N", "/dev/null")])
        daemons.append(second)

        def second_run():
            check("Tolvex N" not in second.wait_ready(["Tolvex A"]), "the reader on /dev/null")
            out = run(["scriptor", "-r", "Tolvex A 00 00", "-p", "T=1"], second.env,
                      "00 84 00 00 08\n80 EE 00 00 03 01 02 03 00\n")
            answers = [line for line in out.stdout.splitlines() if line.startswith("<")]
            check(out.returncode == 0 and len(answers) == 2 and "90 00" in answers[0] and
                  answers[1].startswith("< 01 02 03 90 00"), f"scriptor: {out}")
            # No client is left waiting: pcscd 1.9.9 may itself crash when a request comes in
            # while it exits. Its status after SIGINT is 1 with or without readers.
            check(second.stop(signal.SIGINT) in (0, 1), "pcscd's status after SIGINT")
            check(f"tolvex: {sims[0].path}: closed" in second.logged(), "the channel not closed")

        checked(results, "failed open and sigint", second_run)
    except Exception:
        results.append(False)
        print(f"FAIL set-up: {traceback.format_exc()}", flush=True)
    finally:
        signal.alarm(0)
        for daemon in daemons:
            if not all(results):
                print(f"--- {daemon.log_path}:\n{daemon.logged()[-3000:]}")
            daemon.kill()
        for sim in sims:
            sim.quit()
        if args.keep:
            print(f"logs kept in {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)
    print(f"{results.count(True)} passed, {results.count(False)} failed")
    return 0 if results and all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
