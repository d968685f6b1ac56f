#!/usr/bin/python3
"""End to end: Debian's pcscd with the tolvex handler, and unmodified PC/SC applications.

    pcscd_e2e.py --handler build/pcsc/libtolvex_ifd.so --sim build/tools/tolvex-sim

Two simulated readers (tolvex-sim --pty) are configured in a reader.conf.d folder of the test's
own. pcscd runs in a private mount namespace with /run/pcscd bound to a fresh folder, so no
pcscd of the system is disturbed, and the clients reach it through PCSCLITE_CSOCK_NAME. The
clients are pyscard (in this process), opensc-tool, scriptor and pcsc_scan. The cards are
driven through each simulator's standard input (insert, remove, fault).

Needs root (unshare, mount): without it the test fails, saying so. Prints one line per check
and "N passed, N failed" at the end; the exit status is 0 only if every check passed.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback

T1_ATR = bytes.fromhex("3B828131204554 3132".replace(" ", ""))
T0_ATR = bytes.fromhex("3B021450")
DUAL_ATR = bytes.fromhex("3B92138031204544 5544".replace(" ", ""))
AID = bytes.fromhex("F0544F4C564558")
FILE = bytes((i * 13 + 7) & 0xFF for i in range(320))
GET_VERSIONS = 0x00312004
FEATURE_REQUEST = 0x42000D48
FIRMWARE = (2, 1)  # tolvex-sim's default firmware revision 0x21

TIME_LIMIT_S = 150


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def challenge(n, seed=0x5EED):
    """The first n GET CHALLENGE bytes of a simulated card after a reset."""
    state, out = seed, bytearray()
    for _ in range(n):
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        out.append(state >> 24)
    return bytes(out)


class Sim:
    """tolvex-sim --pty, with its console on a pipe."""

    def __init__(self, binary, folder, name, card=None):
        args = [binary, "--pty"] + (["--card", card] if card else [])
        self.log = open(os.path.join(folder, f"sim-{name}.log"), "w")
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.log, text=True, bufsize=1)
        self.path = self.proc.stdout.readline().strip()
        if not self.path.startswith("/dev/"):
            raise Failure(f"tolvex-sim gave no terminal: {self.path!r}")

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().strip()
        if not answer.startswith("ok"):
            raise Failure(f"tolvex-sim '{line}': {answer!r}")
        return answer

    def quit(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.flush()
            except (BrokenPipeError, ValueError):
                pass
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class Pcscd:
    """pcscd in a mount namespace of its own, its /run/pcscd bound to a folder of the test."""

    def __init__(self, folder, conf, name):
        self.run = os.path.join(folder, f"run-{name}")
        os.mkdir(self.run)
        self.socket = os.path.join(self.run, "pcscd.comm")
        self.log_path = os.path.join(folder, f"pcscd-{name}.log")
        self.log = open(self.log_path, "w")
        script = (f"mkdir -p /run/pcscd && mount --bind '{self.run}' /run/pcscd && "
                  f"exec pcscd --foreground --debug --config '{conf}'")
        # unshare and sh exec: the process is pcscd itself, so its PID is ours to signal.
        self.proc = subprocess.Popen(["unshare", "-m", "--propagation", "private",
                                      "sh", "-c", script],
                                     stdout=self.log, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)

    def env(self):
        return dict(os.environ, PCSCLITE_CSOCK_NAME=self.socket)

    def scan(self):
        try:
            out = subprocess.run(["pcsc_scan", "-r"], env=self.env(), capture_output=True,
                                 text=True, timeout=10)
        except subprocess.TimeoutExpired:
            return ""
        return out.stdout

    def wait_ready(self, names, limit=30.0):
        """Polls pcsc_scan -r (whose status is 0 even with no reader) for every name."""
        end = time.monotonic() + limit
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                raise Failure(f"pcscd ended with status {self.proc.returncode}")
            listing = self.scan()
            if all(name in listing for name in names):
                return listing
            time.sleep(0.2)
        raise Failure(f"pcscd did not list {names} within {limit:.0f} s")

    def stop(self, sig, limit=10.0):
        """Signals pcscd by its PID and waits: (exit status, seconds)."""
        start = time.monotonic()
        self.proc.send_signal(sig)
        try:
            status = self.proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            self.kill()
            raise Failure(f"pcscd did not stop within {limit:.0f} s of signal {sig}")
        return status, time.monotonic() - start

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.log.close()

    def tail(self, lines=40):
        try:
            with open(self.log_path) as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""


def write_conf(folder, name, readers):
    conf = os.path.join(folder, name)
    os.mkdir(conf)
    with open(os.path.join(conf, "tolvex"), "w") as f:
        for friendly, device, libpath in readers:
            f.write(f'FRIENDLYNAME "{friendly}"\nDEVICENAME {device}\nLIBPATH {libpath}\n'
                    f"CHANNELID 0\n\n")
    return conf


class Session:
    """The checks, in order, against one pcscd with readers A and B."""

    def __init__(self, sc, pcscd, sim_a, sim_b):
        self.sc = sc
        self.pcscd = pcscd
        self.sims = {"A": sim_a, "B": sim_b}
        hr, self.ctx = sc.SCardEstablishContext(sc.SCARD_SCOPE_USER)
        check(hr == sc.SCARD_S_SUCCESS, f"SCardEstablishContext: {self.err(hr)}")
        hr, readers = sc.SCardListReaders(self.ctx, [])
        check(hr == sc.SCARD_S_SUCCESS, f"SCardListReaders: {self.err(hr)}")
        self.names = {}
        for letter in "AB":
            found = [r for r in readers if r.startswith(f"Tolvex {letter} ")]
            check(len(found) == 1, f"reader {letter} not listed once: {readers}")
            self.names[letter] = found[0]

    def close(self):
        self.sc.SCardReleaseContext(self.ctx)

    def err(self, hr):
        if hr == 0:
            return "success"
        return f"0x{hr & 0xFFFFFFFF:08X} ({self.sc.SCardGetErrorMessage(hr)})"

    # --- helpers ------------------------------------------------------------------------------

    def state(self, letter):
        sc = self.sc
        hr, states = sc.SCardGetStatusChange(self.ctx, 0, [(self.names[letter],
                                                            sc.SCARD_STATE_UNAWARE)])
        check(hr == sc.SCARD_S_SUCCESS, f"SCardGetStatusChange: {self.err(hr)}")
        return states[0][1], bytes(states[0][2])

    def wait_for(self, letter, flag, limit=5.0):
        """Waits through SCardGetStatusChange until the reader's state has `flag`."""
        sc = self.sc
        current, atr = self.state(letter)
        end = time.monotonic() + limit
        while not current & flag:
            left = int((end - time.monotonic()) * 1000)
            check(left > 0, f"reader {letter}: state 0x{current:X} never got 0x{flag:X}")
            hr, states = sc.SCardGetStatusChange(self.ctx, left, [(self.names[letter],
                                                                   current)])
            if hr == sc.SCARD_E_TIMEOUT:
                continue
            check(hr == sc.SCARD_S_SUCCESS, f"SCardGetStatusChange: {self.err(hr)}")
            current, atr = states[0][1], bytes(states[0][2])
        return current, atr

    def card(self, letter, model):
        """Takes any card out of reader `letter` and puts a `model` card in."""
        sim = self.sims[letter]
        sim.command("remove")
        self.wait_for(letter, self.sc.SCARD_STATE_EMPTY)
        sim.command(f"insert {model}")
        return self.wait_for(letter, self.sc.SCARD_STATE_PRESENT)

    def connect(self, letter, protocols, share=None):
        sc = self.sc
        hr, card, protocol = sc.SCardConnect(self.ctx, self.names[letter],
                                             share or sc.SCARD_SHARE_SHARED, protocols)
        return hr, card, protocol

    def connected(self, letter, protocols):
        hr, card, protocol = self.connect(letter, protocols)
        check(hr == self.sc.SCARD_S_SUCCESS, f"SCardConnect {letter}: {self.err(hr)}")
        return card, protocol

    def transmit(self, card, protocol, apdu):
        sc = self.sc
        pci = sc.SCARD_PCI_T1 if protocol == sc.SCARD_PROTOCOL_T1 else sc.SCARD_PCI_T0
        hr, response = sc.SCardTransmit(card, pci, list(apdu))
        return hr, bytes(response)

    def exchange(self, card, protocol, apdu, sw="9000"):
        hr, response = self.transmit(card, protocol, apdu)
        check(hr == self.sc.SCARD_S_SUCCESS, f"{bytes(apdu).hex()}: {self.err(hr)}")
        check(len(response) >= 2, f"{bytes(apdu).hex()}: no status word")
        check(response[-2:].hex().upper() == sw,
              f"{bytes(apdu).hex()}: SW {response[-2:].hex()} instead of {sw}")
        return response[:-2]

    def disconnect(self, card, disposition=None):
        self.sc.SCardDisconnect(card, disposition if disposition is not None
                                else self.sc.SCARD_LEAVE_CARD)

    # --- checks -------------------------------------------------------------------------------

    def test_both_readers_listed(self):
        listing = self.pcscd.scan()
        for letter in "AB":
            check(self.names[letter] in listing, f"pcsc_scan -r lacks {self.names[letter]}")

    def test_t1_card_atr_and_status(self):
        sc = self.sc
        _, atr = self.card("A", "t1")
        check(atr == T1_ATR, f"ATR from SCardGetStatusChange {atr.hex()}")
        card, protocol = self.connected("A", sc.SCARD_PROTOCOL_T1)
        check(protocol == sc.SCARD_PROTOCOL_T1, f"protocol {protocol}")
        hr, name, state, status_protocol, status_atr = sc.SCardStatus(card)
        check(hr == sc.SCARD_S_SUCCESS, f"SCardStatus: {self.err(hr)}")
        check(bytes(status_atr) == T1_ATR, f"SCardStatus ATR {bytes(status_atr).hex()}")
        check(status_protocol == sc.SCARD_PROTOCOL_T1, f"SCardStatus protocol {status_protocol}")
        self.disconnect(card)

    def apdus_every_case(self, card, protocol):
        """Cases 1 to 4, with 255 and 256 data bytes, on a card of the simulator."""
        t0 = protocol == self.sc.SCARD_PROTOCOL_T0
        self.exchange(card, protocol, bytes.fromhex("00A40400"), sw="6700")  # case 1
        self.exchange(card, protocol, bytes.fromhex("00A4040007") + AID)  # case 3
        self.exchange(card, protocol, bytes.fromhex("00A40000020101"))  # case 3
        data = self.exchange(card, protocol, bytes.fromhex("00B0000000"))  # case 2, Le 256
        check(data == FILE[:256], f"READ BINARY 256: {len(data)} bytes, not the file's")
        data = self.exchange(card, protocol, bytes.fromhex("00B0010040"))
        check(data == FILE[256:], f"READ BINARY at 256: {len(data)} bytes")
        data = self.exchange(card, protocol, bytes.fromhex("00840000FF"))  # 255 bytes
        check(len(data) == 255, f"GET CHALLENGE 255: {len(data)} bytes")
        payload = bytes(range(255))
        echo = bytes.fromhex("80EE0000FF") + payload + b"\x00"  # case 4: 255 in, 256 asked
        if t0:
            # A T=0 card answers a case 4 command with 61xx; GET RESPONSE fetches the data.
            self.exchange(card, protocol, echo[:-1], sw="61FF")
            data = self.exchange(card, protocol, bytes.fromhex("00C00000FF"))
        else:
            data = self.exchange(card, protocol, echo)
        check(data == payload, f"ECHO 255: {data.hex()}")
        self.exchange(card, protocol, bytes.fromhex("00CA000000"), sw="6D00")

    def test_t1_apdus(self):
        sc = self.sc
        card, protocol = self.connected("A", sc.SCARD_PROTOCOL_T1)
        # The challenge generator starts again at every reset.
        hr, protocol = sc.SCardReconnect(card, sc.SCARD_SHARE_SHARED, sc.SCARD_PROTOCOL_T1,
                                         sc.SCARD_RESET_CARD)
        check(hr == sc.SCARD_S_SUCCESS, f"reconnect with reset: {self.err(hr)}")
        data = self.exchange(card, protocol, bytes.fromhex("0084000008"))
        check(data == challenge(8), f"GET CHALLENGE after reset {data.hex()}")
        self.apdus_every_case(card, protocol)
        self.disconnect(card)

    def test_attributes(self):
        sc = self.sc
        card, _ = self.connected("A", sc.SCARD_PROTOCOL_T1)

        def attribute(tag):
            hr, value = sc.SCardGetAttrib(card, tag)
            check(hr == sc.SCARD_S_SUCCESS, f"SCardGetAttrib 0x{tag:X}: {self.err(hr)}")
            return bytes(value)

        def number(tag):
            return int.from_bytes(attribute(tag)[:4], "little")

        vendor = attribute(sc.SCARD_ATTR_VENDOR_NAME)
        check(vendor.rstrip(b"\0") == b"Norvane-Talbeck", f"vendor {vendor!r}")
        check(attribute(sc.SCARD_ATTR_VENDOR_IFD_TYPE).rstrip(b"\0") ==
              b"Brightwarden Serial SCR", "IFD type")
        check(number(sc.SCARD_ATTR_VENDOR_IFD_VERSION) >> 16 == (FIRMWARE[0] << 8 | FIRMWARE[1]),
              f"IFD version 0x{number(sc.SCARD_ATTR_VENDOR_IFD_VERSION):08X}")
        attribute(sc.SCARD_ATTR_VENDOR_IFD_SERIAL_NO)
        check(number(sc.SCARD_ATTR_CHANNEL_ID) == 0x00010000, "channel: serial, channel 0")
        check(attribute(sc.SCARD_ATTR_ATR_STRING) == T1_ATR, "ATR attribute")
        check(number(sc.SCARD_ATTR_CURRENT_PROTOCOL_TYPE) == sc.SCARD_PROTOCOL_T1,
              "current protocol")
        check(number(sc.SCARD_ATTR_DEFAULT_CLK) == 3580, "default clock")
        check(number(sc.SCARD_ATTR_MAX_CLK) == 3580, "max clock")
        check(number(sc.SCARD_ATTR_DEFAULT_DATA_RATE) == 9600, "default data rate")
        check(number(sc.SCARD_ATTR_MAX_DATA_RATE) == 9600, "max data rate")
        check(number(sc.SCARD_ATTR_MAX_IFSD) == 254, "max IFSD")
        check(number(0x00030120) == 3, "protocol types: T=0 and T=1")  # SCARD_ATTR_PROTOCOL_TYPES
        # pcscd answers the reader's name itself when the handler has no such tag.
        name = attribute(sc.SCARD_ATTR_DEVICE_FRIENDLY_NAME_A)
        check(name.rstrip(b"\0").decode() == self.names["A"], f"friendly name {name!r}")
        hr, _ = sc.SCardGetAttrib(card, 0x7FFF1234)
        check(hr == sc.SCARD_E_UNSUPPORTED_FEATURE, f"unknown attribute: {self.err(hr)}")
        self.disconnect(card)

    def test_control_requests(self):
        sc = self.sc
        # A direct connection needs no card: reader B is empty.
        self.sims["B"].command("remove")
        self.wait_for("B", sc.SCARD_STATE_EMPTY)
        hr, card, _ = self.connect("B", 0, share=sc.SCARD_SHARE_DIRECT)
        check(hr == sc.SCARD_S_SUCCESS, f"direct connection: {self.err(hr)}")
        hr, out = sc.SCardControl(card, GET_VERSIONS, [])
        check(hr == sc.SCARD_S_SUCCESS, f"versions request: {self.err(hr)}")
        check(len(out) == 8, f"versions: {out}")
        check((out[6], out[7]) == FIRMWARE, f"firmware {out[6]}.{out[7]}")
        check((out[4], out[5]) == (1, 0), f"driver {out[4]}.{out[5]}")
        hr, out = sc.SCardControl(card, FEATURE_REQUEST, [])
        check(hr == sc.SCARD_S_SUCCESS and out == [], f"feature request: {self.err(hr)} {out}")
        hr, out = sc.SCardControl(card, 0x42000001, [1, 2, 3])
        check(hr != sc.SCARD_S_SUCCESS, "an unknown control code succeeded")
        self.disconnect(card)

    def test_insertion_and_removal_events(self):
        sc = self.sc
        sim = self.sims["B"]
        start = time.monotonic()
        sim.command("insert t0")
        state, atr = self.wait_for("B", sc.SCARD_STATE_PRESENT)
        inserted = time.monotonic() - start
        check(atr == T0_ATR, f"ATR at insertion {atr.hex()}")
        start = time.monotonic()
        sim.command("remove")
        self.wait_for("B", sc.SCARD_STATE_EMPTY)
        removed = time.monotonic() - start
        # pcscd waits on the handler's poll function (the driver's card tracking) rather than
        # asking for the card's presence at its own pace.
        with open(self.pcscd.log_path) as f:
            check("Using the reader polling thread" in f.read(),
                  "pcscd does not use the handler's poll function")
        check(inserted < 3.0 and removed < 2.0,
              f"insertion seen after {inserted:.2f} s, removal after {removed:.2f} s")
        print(f"    insertion seen after {inserted * 1000:.0f} ms, removal after "
              f"{removed * 1000:.0f} ms")

    def test_t0_card(self):
        sc = self.sc
        _, atr = self.card("B", "t0")
        check(atr == T0_ATR, f"ATR {atr.hex()}")
        hr, _, _ = self.connect("B", sc.SCARD_PROTOCOL_T1)
        check(hr == sc.SCARD_E_PROTO_MISMATCH, f"T=1 on a T=0 card: {self.err(hr)}")
        card, protocol = self.connected("B", sc.SCARD_PROTOCOL_T0)
        check(protocol == sc.SCARD_PROTOCOL_T0, f"protocol {protocol}")
        self.apdus_every_case(card, protocol)
        hr, _ = self.transmit(card, sc.SCARD_PROTOCOL_T1, bytes.fromhex("0084000008"))
        check(hr != sc.SCARD_S_SUCCESS, "a T=1 transmit on a T=0 connection succeeded")
        self.disconnect(card)

    def test_dual_card_both_protocols(self):
        sc = self.sc
        _, atr = self.card("A", "dual")
        check(atr == DUAL_ATR, f"ATR {atr.hex()}")
        card, protocol = self.connected("A", sc.SCARD_PROTOCOL_T1)
        check(protocol == sc.SCARD_PROTOCOL_T1, f"T=1 asked, {protocol} given")
        self.apdus_every_case(card, protocol)
        self.disconnect(card, sc.SCARD_RESET_CARD)
        card, protocol = self.connected("A", sc.SCARD_PROTOCOL_T0)
        check(protocol == sc.SCARD_PROTOCOL_T0, f"T=0 asked, {protocol} given")
        self.apdus_every_case(card, protocol)
        self.disconnect(card, sc.SCARD_RESET_CARD)
        card, protocol = self.connected("A", sc.SCARD_PROTOCOL_T0 | sc.SCARD_PROTOCOL_T1)
        check(protocol in (sc.SCARD_PROTOCOL_T0, sc.SCARD_PROTOCOL_T1), f"protocol {protocol}")
        self.exchange(card, protocol, bytes.fromhex("00A4040007") + AID)
        self.disconnect(card, sc.SCARD_UNPOWER_CARD)

    def test_no_card(self):
        sc = self.sc
        self.sims["A"].command("remove")
        self.wait_for("A", sc.SCARD_STATE_EMPTY)
        hr, _, _ = self.connect("A", sc.SCARD_PROTOCOL_T1)
        check(hr == sc.SCARD_E_NO_SMARTCARD, f"connect with no card: {self.err(hr)}")

    def test_card_removed_while_connected(self):
        sc = self.sc
        self.card("A", "t1")
        card, protocol = self.connected("A", sc.SCARD_PROTOCOL_T1)
        self.exchange(card, protocol, bytes.fromhex("0084000008"))
        self.sims["A"].command("remove")
        self.wait_for("A", sc.SCARD_STATE_EMPTY)
        hr, _ = self.transmit(card, protocol, bytes.fromhex("0084000008"))
        check(hr in (sc.SCARD_W_REMOVED_CARD, sc.SCARD_E_NO_SMARTCARD),
              f"transmit once pcscd saw the removal: {self.err(hr)}")
        self.disconnect(card)
        # The card back, quickly: a new connection works.
        self.sims["A"].command("insert t1")
        self.wait_for("A", sc.SCARD_STATE_PRESENT)
        card, protocol = self.connected("A", sc.SCARD_PROTOCOL_T1)
        self.exchange(card, protocol, bytes.fromhex("0084000008"))
        self.disconnect(card)

    def test_card_swapped_while_connected(self):
        sc = self.sc
        self.card("A", "t1")
        card, protocol = self.connected("A", sc.SCARD_PROTOCOL_T1)
        # Out and in again at once: pcscd must still see that the card it had went away.
        self.sims["A"].command("remove")
        time.sleep(0.05)
        self.sims["A"].command("insert t1")
        time.sleep(0.5)
        hr, _ = self.transmit(card, protocol, bytes.fromhex("0084000008"))
        check(hr in (sc.SCARD_W_REMOVED_CARD, sc.SCARD_W_RESET_CARD, sc.SCARD_E_NO_SMARTCARD),
              f"transmit to a swapped card: {self.err(hr)}")
        self.disconnect(card)
        self.wait_for("A", sc.SCARD_STATE_PRESENT)
        card, protocol = self.connected("A", sc.SCARD_PROTOCOL_T1)
        self.exchange(card, protocol, bytes.fromhex("0084000008"))
        self.disconnect(card)

    def test_silent_reader_fails_the_transmit(self):
        sc = self.sc
        self.card("A", "t1")
        card, protocol = self.connected("A", sc.SCARD_PROTOCOL_T1)
        self.sims["A"].command("fault silence")
        start = time.monotonic()
        hr, _ = self.transmit(card, protocol, bytes.fromhex("0084000008"))
        took = time.monotonic() - start
        check(hr == sc.SCARD_E_NOT_TRANSACTED, f"transmit with no answer: {self.err(hr)}")
        check(took < 10.0, f"the failed transmit took {took:.1f} s")
        # A reset brings the card back.
        hr, protocol = sc.SCardReconnect(card, sc.SCARD_SHARE_SHARED, sc.SCARD_PROTOCOL_T1,
                                         sc.SCARD_RESET_CARD)
        check(hr == sc.SCARD_S_SUCCESS, f"reconnect with reset: {self.err(hr)}")
        self.exchange(card, protocol, bytes.fromhex("0084000008"))
        self.disconnect(card)

    def test_mute_card(self):
        sc = self.sc
        self.sims["A"].command("remove")
        self.wait_for("A", sc.SCARD_STATE_EMPTY)
        self.sims["A"].command("fault mute always")
        self.sims["A"].command("insert t1")
        try:
            state, _ = self.wait_for("A", sc.SCARD_STATE_MUTE)
            check(state & sc.SCARD_STATE_PRESENT, "a mute card not present")
            hr, _, _ = self.connect("A", sc.SCARD_PROTOCOL_T1)
            check(hr in (sc.SCARD_W_UNRESPONSIVE_CARD, sc.SCARD_W_UNPOWERED_CARD,
                         sc.SCARD_E_NOT_TRANSACTED), f"connect to a mute card: {self.err(hr)}")
        finally:
            self.sims["A"].command("fault clear")
        self.card("A", "t1")
        card, protocol = self.connected("A", sc.SCARD_PROTOCOL_T1)
        self.exchange(card, protocol, bytes.fromhex("0084000008"))
        self.disconnect(card)

    def test_opensc_tool(self):
        self.card("A", "t1")
        out = subprocess.run(["opensc-tool", "--list-readers"], env=self.pcscd.env(),
                             capture_output=True, text=True, timeout=20).stdout
        index = None
        for line in out.splitlines():
            fields = line.split()
            if fields and fields[0].isdigit() and line.rstrip().endswith(self.names["A"]):
                index = fields[0]
        check(index is not None, f"opensc-tool does not list reader A:\n{out}")
        out = subprocess.run(["opensc-tool", "--reader", index, "--atr"], env=self.pcscd.env(),
                             capture_output=True, text=True, timeout=20)
        check(out.returncode == 0, f"opensc-tool -a: {out.stderr}")
        check(out.stdout.strip().lower() == ":".join(f"{b:02x}" for b in T1_ATR),
              f"opensc-tool -a: {out.stdout!r}")
        out = subprocess.run(["opensc-tool", "--reader", index, "--send-apdu", "00:84:00:00:08",
                              "--send-apdu", "00:A4:04:00:07:" + AID.hex(":")],
                             env=self.pcscd.env(), capture_output=True, text=True, timeout=20)
        check(out.returncode == 0, f"opensc-tool -s: {out.stderr}")
        check(out.stdout.count("SW1=0x90, SW2=0x00") == 2, f"opensc-tool -s: {out.stdout!r}")

    def test_scriptor(self):
        commands = "00 84 00 00 08\n80 EE 00 00 03 01 02 03 00\n"
        out = subprocess.run(["scriptor", "-r", self.names["A"], "-p", "T=1"],
                             input=commands, env=self.pcscd.env(), capture_output=True,
                             text=True, timeout=20)
        check(out.returncode == 0, f"scriptor: status {out.returncode}: {out.stderr}")
        answers = [line for line in out.stdout.splitlines() if line.startswith("<")]
        check(len(answers) == 2, f"scriptor: {out.stdout!r}")
        check(answers[0].split(":")[0].split()[-2:] == ["90", "00"], f"scriptor: {answers[0]}")
        check(answers[1].startswith("< 01 02 03 90 00"), f"scriptor: {answers[1]}")

    def test_two_readers_at_once(self):
        sc = self.sc
        self.card("A", "t1")
        self.card("B", "t0")
        failures = []

        def work(letter, protocol_mask):
            try:
                hr, card, protocol = self.connect(letter, protocol_mask)
                if hr != sc.SCARD_S_SUCCESS:
                    failures.append(f"{letter}: connect {self.err(hr)}")
                    return
                for _ in range(20):
                    hr, response = self.transmit(card, protocol,
                                                 bytes.fromhex("00B0000040"))
                    if hr != sc.SCARD_S_SUCCESS:
                        failures.append(f"{letter}: {self.err(hr)}")
                        break
                self.disconnect(card)
            except Exception as error:  # reported below
                failures.append(f"{letter}: {error}")

        # Each thread its own context, as separate applications would have.
        for letter in "AB":
            hr, card, protocol = self.connect(letter, sc.SCARD_PROTOCOL_T0 | sc.SCARD_PROTOCOL_T1)
            check(hr == sc.SCARD_S_SUCCESS, f"{letter}: {self.err(hr)}")
            self.exchange(card, protocol, bytes.fromhex("00A40000020101"))
            self.disconnect(card)
        threads = [threading.Thread(target=work, args=(letter, mask))
                   for letter, mask in (("A", sc.SCARD_PROTOCOL_T1), ("B", sc.SCARD_PROTOCOL_T0))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        check(not failures, "; ".join(failures))

    def test_reader_gone(self):
        sc = self.sc
        self.sims["B"].quit()  # the terminal goes away with it
        # The card wait notices within its device check (a second), and pcscd then marks it.
        time.sleep(2.0)
        state, _ = self.state("B")
        hr, _, _ = self.connect("B", sc.SCARD_PROTOCOL_T0)
        check(hr != sc.SCARD_S_SUCCESS,
              f"connect to a reader that is gone succeeded (state 0x{state:X})")
        print(f"    reader B gone: state 0x{state:X}, connect {self.err(hr)}")
        check(self.pcscd.proc.poll() is None, "pcscd ended")
        card, protocol = self.connected("A", sc.SCARD_PROTOCOL_T1)
        self.exchange(card, protocol, bytes.fromhex("0084000008"))
        self.disconnect(card)


def run_checks(session, results):
    names = [name for name in Session.__dict__ if name.startswith("test_")]
    for name in names:
        start = time.monotonic()
        try:
            getattr(session, name)()
            results.append((name, None))
            print(f"ok   {name} ({time.monotonic() - start:.1f} s)", flush=True)
        except Exception as error:  # every failure is reported and counted
            detail = str(error) if isinstance(error, Failure) else traceback.format_exc()
            results.append((name, detail))
            print(f"FAIL {name}: {detail}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--handler", required=True, help="libtolvex_ifd.so")
    parser.add_argument("--sim", required=True, help="the tolvex-sim program")
    parser.add_argument("--keep", action="store_true", help="keep the test folder and logs")
    args = parser.parse_args()

    if os.geteuid() != 0:
        print("pcscd_e2e: FAILED: this test needs root, to run pcscd in a mount namespace of "
              "its own (unshare -m, mount --bind); run it as root (CI does)", file=sys.stderr)
        return 1
    for tool in ("unshare", "mount", "pcscd", "pcsc_scan", "opensc-tool", "scriptor"):
        if shutil.which(tool) is None:
            print(f"pcscd_e2e: FAILED: {tool} is missing (scripts/deps installs it)",
                  file=sys.stderr)
            return 1
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "true"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        print(f"pcscd_e2e: FAILED: unshare -m is not available here: {probe.stderr.strip()}",
              file=sys.stderr)
        return 1
    handler = os.path.abspath(args.handler)
    for path in (handler, args.sim):
        if not os.path.exists(path):
            print(f"pcscd_e2e: FAILED: {path} does not exist", file=sys.stderr)
            return 1

    folder = tempfile.mkdtemp(prefix="tolvex-pcscd-")
    os.chmod(folder, 0o755)
    results = []
    sims = []
    daemons = []
    started = time.monotonic()

    def out_of_time(signum, frame):
        raise Failure(f"the test ran past {TIME_LIMIT_S} s")

    signal.signal(signal.SIGALRM, out_of_time)
    signal.alarm(TIME_LIMIT_S)
    try:
        sim_a = Sim(args.sim, folder, "A", card="t1")
        sim_b = Sim(args.sim, folder, "B")
        sims += [sim_a, sim_b]
        conf = write_conf(folder, "conf", [("Tolvex A", sim_a.path, handler),
                                           ("Tolvex B", sim_b.path, handler)])
        pcscd = Pcscd(folder, conf, "first")
        daemons.append(pcscd)
        try:
            pcscd.wait_ready(["Tolvex A", "Tolvex B"])
            print(f"pcscd ready after {time.monotonic() - started:.1f} s", flush=True)
            # The client library reads the socket's name when the first context is made.
            os.environ["PCSCLITE_CSOCK_NAME"] = pcscd.socket
            from smartcard import scard
            session = Session(scard, pcscd, sim_a, sim_b)
            run_checks(session, results)
            session.close()
        except Exception as error:
            results.append(("first pcscd", str(error)))
            print(f"FAIL first pcscd: {error}\n{pcscd.tail()}", flush=True)

        # SIGTERM: pcscd ends at once, without closing its channels.
        try:
            status, took = pcscd.stop(signal.SIGTERM)
            check(status == 0, f"pcscd's status after SIGTERM: {status}")
            check(took < 5.0, f"pcscd took {took:.1f} s to stop")
            results.append(("sigterm", None))
            print(f"ok   sigterm (pcscd ended in {took * 1000:.0f} ms)", flush=True)
        except Exception as error:
            results.append(("sigterm", str(error)))
            print(f"FAIL sigterm: {error}\n{pcscd.tail()}", flush=True)

        # A second pcscd: a device that is no terminal is dropped (the handler's open fails)
        # and reader A works; SIGINT then closes every channel.
        try:
            conf2 = write_conf(folder, "conf2", [("Tolvex A", sim_a.path, handler),
                                                 ("Tolvex N", "/dev/null", handler)])
            second = Pcscd(folder, conf2, "second")
            daemons.append(second)
            listing = second.wait_ready(["Tolvex A"])
            check("Tolvex N" not in listing, f"the reader on /dev/null is listed:\n{listing}")
            check(second.proc.poll() is None, "pcscd ended")
            env = second.env()
            out = subprocess.run(["scriptor", "-r", "Tolvex A 00 00", "-p", "T=1"],
                                 input="00 84 00 00 08\n", env=env, capture_output=True,
                                 text=True, timeout=20)
            check("90 00 : Normal processing" in out.stdout, f"scriptor: {out.stdout!r}")
            # No client is left waiting: pcscd 1.9.9 itself may crash when a client's request
            # comes in while it exits (its RFWaitForReaderInit reads the readers it has freed),
            # whatever the driver.
            status, took = second.stop(signal.SIGINT)
            # pcscd's own status after SIGINT is 1 with or without readers; a signal is a crash.
            check(status in (0, 1), f"pcscd's status after SIGINT: {status}")
            # pcscd itself waits a second before it stops its readers.
            check(took < 5.0, f"pcscd took {took:.1f} s to stop after SIGINT")
            with open(second.log_path) as f:
                log = f.read()
            check(f"tolvex: {sim_a.path}: closed" in log,
                  "pcscd's log does not show the channel closed")
            results.append(("failed open and sigint", None))
            print(f"ok   failed open and sigint (pcscd ended in {took * 1000:.0f} ms)",
                  flush=True)
        except Exception as error:
            results.append(("failed open and sigint", str(error)))
            print(f"FAIL failed open and sigint: {error}\n{daemons[-1].tail()}", flush=True)
    except Exception as error:
        results.append(("set-up", str(error)))
        print(f"FAIL set-up: {error}", flush=True)
    finally:
        signal.alarm(0)
        for daemon in daemons:
            daemon.kill()
        for sim in sims:
            sim.quit()
        if args.keep:
            print(f"logs kept in {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)

    passed = sum(1 for _, failure in results if failure is None)
    failed = len(results) - passed
    print(f"pcscd end to end: {time.monotonic() - started:.1f} s")
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
