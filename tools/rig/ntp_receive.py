#!/usr/bin/python3
"""Receives NTP datagrams in a test namespace and judges them.

  record  binds UDP 123 and writes one JSON line per datagram: the kernel's
          receive time (SO_TIMESTAMPNS), source, destination and arrival
          interface (IP_PKTINFO) and the raw bytes, for a duration or a count.
  decode  prints every header field of recorded datagrams, the transmit time
          they carry as UTC and how long before the kernel's receive time it is.
  verify  checks recorded datagrams against what a broadcast cycle must send.

Timestamps are decoded by the standard rule, fraction / 2^32 of a second.
Ostrival writes whole milliseconds times 4299266 (2^32 / 999), so its
fractions read up to 0.999 ms late, growing through each second; `decode`
also shows the milliseconds the sender meant when the fraction is such a
multiple.
"""

import argparse
import datetime
import json
import select
import signal
import socket
import struct
import sys
import time

NTP_UNIX_OFFSET = 2208988800  # seconds from 1900-01-01 to 1970-01-01
SENDER_FRACTION_PER_MS = 4299266
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
MODES = {0: "reserved", 1: "symmetric active", 2: "symmetric passive", 3: "client",
         4: "server", 5: "broadcast", 6: "control", 7: "private"}
LEAP = {0: "no warning", 1: "last minute has 61 s", 2: "last minute has 59 s",
        3: "clock not synchronised"}


def open_socket(address, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    s.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
    s.bind((address, port))
    return s


def receive_one(s):
    data, ancillary, _, source = s.recvmsg(2048, 256)
    record = {"t_ns": None, "src": source[0], "sport": source[1], "dst": None,
              "ifindex": None, "ifname": None, "len": len(data), "hex": data.hex()}
    for level, kind, value in ancillary:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
            sec, nsec = struct.unpack("qq", value[:16])
            record["t_ns"] = sec * 1_000_000_000 + nsec
        elif level == socket.IPPROTO_IP and kind == IP_PKTINFO:
            ifindex, _, header_dst = struct.unpack("i4s4s", value[:12])
            record["ifindex"] = ifindex
            record["dst"] = socket.inet_ntoa(header_dst)
            try:
                record["ifname"] = socket.if_indextoname(ifindex)
            except OSError:
                pass
    return record


def record(args):
    s = open_socket(args.bind, args.port)
    stopping = []
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    if args.ready:
        open(args.ready, "w").close()
    deadline = time.monotonic() + args.duration if args.duration else None
    seen = 0
    with open(args.out, "a") as out:
        while not stopping and (args.count is None or seen < args.count):
            wait = 0.2 if deadline is None else min(0.2, deadline - time.monotonic())
            if wait <= 0:
                break
            try:
                ready, _, _ = select.select([s], [], [], wait)
            except InterruptedError:
                continue
            if ready:
                out.write(json.dumps(receive_one(s)) + "\n")
                out.flush()
                seen += 1
    return 0


def load(paths):
    records = []
    for path in paths:
        with open(path) as f:
            records.extend(json.loads(line) for line in f if line.strip())
    return records


def ntp_to_unix_ns(seconds, fraction):
    return (seconds - NTP_UNIX_OFFSET) * 1_000_000_000 + (fraction * 1_000_000_000 >> 32)


def utc(unix_ns):
    if unix_ns is None:
        return "unknown"
    moment = datetime.datetime.fromtimestamp(unix_ns // 1_000_000_000, datetime.timezone.utc)
    return moment.strftime("%Y-%m-%d %H:%M:%S") + ".%09d UTC" % (unix_ns % 1_000_000_000)


def parse(data):
    """The header fields of a 48-byte NTP packet, by their RFC 1305 names."""
    words = struct.unpack("!BBbb II 4s II II II II", data[:48])
    return {"leap": words[0] >> 6, "version": words[0] >> 3 & 7, "mode": words[0] & 7,
            "stratum": words[1], "poll": words[2], "precision": words[3],
            "root_delay": words[4], "root_dispersion": words[5], "refid": words[6],
            "reference": words[7:9], "originate": words[9:11], "receive": words[11:13],
            "transmit": words[13:15]}


def arrival_offset_ms(rec):
    """Kernel receive time minus the carried transmit time, in milliseconds."""
    if rec["t_ns"] is None:
        return float("nan")
    f = parse(bytes.fromhex(rec["hex"]))
    return (rec["t_ns"] - ntp_to_unix_ns(*f["transmit"])) / 1e6


def describe_timestamp(seconds, fraction):
    if seconds == 0 and fraction == 0:
        return "0 (not set)"
    text = "%08x.%08x = %s" % (seconds, fraction, utc(ntp_to_unix_ns(seconds, fraction)))
    if fraction % SENDER_FRACTION_PER_MS == 0:
        text += " (sender's %d ms)" % (fraction // SENDER_FRACTION_PER_MS)
    return text


def decode(args):
    for n, rec in enumerate(load(args.files), 1):
        data = bytes.fromhex(rec["hex"])
        print("datagram %d: %s:%d -> %s:123 via %s, %d bytes, kernel receive time %s" % (
            n, rec["src"], rec["sport"], rec["dst"], rec["ifname"] or rec["ifindex"],
            len(data), utc(rec["t_ns"])))
        if len(data) < 48:
            print("  too short for an NTP header: %s" % data.hex())
            continue
        f = parse(data)
        refid = f["refid"].decode("ascii", "replace") if f["stratum"] > 1 else f["refid"].hex()
        for label, value in [
                ("leap indicator", "%d (%s)" % (f["leap"], LEAP[f["leap"]])),
                ("version", f["version"]),
                ("mode", "%d (%s)" % (f["mode"], MODES[f["mode"]])),
                ("stratum", f["stratum"]),
                ("poll", "%d (2^%d = %g s)" % (f["poll"], f["poll"], 2.0 ** f["poll"])),
                ("precision", "%d (2^%d = %g s)" % (f["precision"], f["precision"],
                                                    2.0 ** f["precision"])),
                ("root delay", "%d (%.6f s)" % (f["root_delay"], f["root_delay"] / 65536)),
                ("root dispersion", "%d (%.6f s)" % (f["root_dispersion"],
                                                     f["root_dispersion"] / 65536)),
                ("reference id", refid),
                ("reference time", describe_timestamp(*f["reference"])),
                ("originate time", describe_timestamp(*f["originate"])),
                ("receive time", describe_timestamp(*f["receive"])),
                ("transmit time", describe_timestamp(*f["transmit"])),
                ("arrival offset", "%+.3f ms (kernel receive time - transmit time)"
                 % arrival_offset_ms(rec))]:
            print("  %-16s %s" % (label, value))
        if len(data) > 48:
            print("  %d bytes after the header: %s" % (len(data) - 48, data[48:].hex()))
    return 0


def verify(args):
    """Prints every fault found; the exit status is the verdict."""
    records = load(args.files)
    faults = []
    expected = {}
    for item in args.expect:
        address, count = item.split("=")
        expected[address] = int(count)
    seen = {}
    for rec in records:
        seen[rec["dst"]] = seen.get(rec["dst"], 0) + 1
    for address in sorted(set(expected) | set(seen)):
        if seen.get(address, 0) != expected.get(address, 0):
            faults.append("%s: %d datagram(s), expected %d"
                          % (address, seen.get(address, 0), expected.get(address, 0)))
    payloads = {rec["hex"] for rec in records}
    if len(payloads) > 1:
        faults.append("%d different payloads in one cycle" % len(payloads))
    for rec in records:
        data = bytes.fromhex(rec["hex"])
        where = "datagram to %s via %s" % (rec["dst"], rec["ifname"])
        if len(data) != 48:
            faults.append("%s: %d bytes, expected 48" % (where, len(data)))
            continue
        f = parse(data)
        header = (f["leap"], f["version"], f["mode"], f["stratum"], f["poll"], f["precision"],
                  f["root_delay"], f["root_dispersion"], f["refid"], f["originate"],
                  f["receive"])
        if header != (0, 3, 5, 15, 7, 0, 0, 0, b"LOCL", (0, 0), (0, 0)):
            faults.append("%s: header %r" % (where, header))
        if f["reference"] != f["transmit"]:
            faults.append("%s: reference time differs from transmit time" % where)
        if f["transmit"][1] % SENDER_FRACTION_PER_MS != 0:
            faults.append("%s: fraction %d is not whole ms" % (where, f["transmit"][1]))
        offset = arrival_offset_ms(rec)
        if not abs(offset) <= args.max_offset_ms:  # also when there is no receive time
            faults.append("%s: arrival offset %.3f ms" % (where, offset))
    for fault in faults:
        print("verify: " + fault, file=sys.stderr)
    return 1 if faults else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("record", help="receive and write JSON lines")
    p.add_argument("--out", required=True)
    p.add_argument("--duration", type=float, help="seconds to listen (default: until signalled)")
    p.add_argument("--count", type=int, help="stop after this many datagrams")
    p.add_argument("--ready", help="file created once the socket is bound")
    p.add_argument("--bind", default="0.0.0.0")
    p.add_argument("--port", type=int, default=123)
    p.set_defaults(run=record)
    p = sub.add_parser("decode", help="print recorded datagrams field by field")
    p.add_argument("files", nargs="+")
    p.set_defaults(run=decode)
    p = sub.add_parser("verify", help="check recorded datagrams of one cycle")
    p.add_argument("files", nargs="+")
    p.add_argument("--expect", action="append", default=[], metavar="ADDRESS=COUNT",
                   help="datagrams due to this destination; every other gets none")
    p.add_argument("--max-offset-ms", type=float, default=50.0)
    p.set_defaults(run=verify)
    args = parser.parse_args()
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
