#!/usr/bin/python3
"""Checks a capture of UDP port 123 with tshark's own NTP dissector, so the
packets are judged by a decoder that is not ours.

Every captured frame must decode as NTP v3 broadcast (mode 5), stratum 15,
poll 7, precision 0, zero root delay and dispersion, reference id LOCL, no
originate or receive time, reference time equal to transmit time, and must
arrive (capture time) within --max-offset-ms of the transmit time it carries.
The frames to each destination must number as --expect says; every
destination not named there must get none.
"""

import argparse
import datetime
import subprocess
import sys

FIELDS = ["frame.time_epoch", "ip.src", "ip.dst", "udp.dstport", "udp.length",
          "ntp.flags.li", "ntp.flags.vn", "ntp.flags.mode", "ntp.stratum", "ntp.ppoll",
          "ntp.precision", "ntp.rootdelay", "ntp.rootdispersion", "ntp.refid",
          "ntp.reftime", "ntp.org", "ntp.rec", "ntp.xmt"]
WANTED = {"udp.dstport": "123", "udp.length": "56", "ntp.flags.li": "0", "ntp.flags.vn": "3",
          "ntp.flags.mode": "5", "ntp.stratum": "15", "ntp.ppoll": "7", "ntp.precision": "0",
          "ntp.rootdelay": "0", "ntp.rootdispersion": "0", "ntp.refid": "4c4f434c"}


def read_capture(path):
    command = ["tshark", "-r", path, "-T", "fields", "-E", "separator=\t",
               "-E", "occurrence=a"]
    for field in FIELDS:
        command += ["-e", field]
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return [dict(zip(FIELDS, line.split("\t"))) for line in out.splitlines() if line]


def seconds_of(text):
    """tshark's absolute time, e.g. 'Dec  6, 2026 20:02:47.439439381 UTC', as Unix seconds."""
    stamp, _, utc = text.rpartition(" ")
    if utc != "UTC":
        raise ValueError("not a UTC time: %r" % text)
    whole, _, digits = stamp.partition(".")
    moment = datetime.datetime.strptime(" ".join(whole.split()), "%b %d, %Y %H:%M:%S")
    moment = moment.replace(tzinfo=datetime.timezone.utc)
    return moment.timestamp() + float("0." + (digits or "0"))


def faults_of(frame, max_offset_ms):
    faults = ["%s = %r, expected %r" % (k, frame.get(k), v)
              for k, v in WANTED.items() if frame.get(k) != v]
    # A zero NTP timestamp is shown as NULL by the dissector.
    for field in ("ntp.org", "ntp.rec"):
        if frame.get(field) != "NULL":
            faults.append("%s = %r, expected NULL" % (field, frame.get(field)))
    if frame.get("ntp.reftime") != frame.get("ntp.xmt"):
        faults.append("reference time %r differs from transmit time %r"
                      % (frame.get("ntp.reftime"), frame.get("ntp.xmt")))
    try:
        offset_ms = (float(frame["frame.time_epoch"]) - seconds_of(frame["ntp.xmt"])) * 1000
        frame["offset_ms"] = offset_ms
        if abs(offset_ms) > max_offset_ms:
            faults.append("captured %.3f ms after its transmit time" % offset_ms)
    except (KeyError, ValueError) as error:
        faults.append("no usable transmit time: %s" % error)
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("capture")
    parser.add_argument("--expect", action="append", default=[], metavar="ADDRESS=COUNT")
    parser.add_argument("--max-offset-ms", type=float, default=50.0)
    args = parser.parse_args()
    expected = {a: int(n) for a, n in (item.split("=") for item in args.expect)}

    frames = read_capture(args.capture)
    faults, seen = [], {}
    for n, frame in enumerate(frames, 1):
        seen[frame.get("ip.dst")] = seen.get(frame.get("ip.dst"), 0) + 1
        faults += ["frame %d to %s: %s" % (n, frame.get("ip.dst"), fault)
                   for fault in faults_of(frame, args.max_offset_ms)]
        print("tshark: %s -> %s:%s ntp v%s mode %s stratum %s poll %s precision %s refid %s "
              "xmt %s, captured %+.3f ms after" % (
                  frame.get("ip.src"), frame.get("ip.dst"), frame.get("udp.dstport"),
                  frame.get("ntp.flags.vn"), frame.get("ntp.flags.mode"),
                  frame.get("ntp.stratum"), frame.get("ntp.ppoll"), frame.get("ntp.precision"),
                  frame.get("ntp.refid"), frame.get("ntp.xmt"),
                  frame.get("offset_ms", float("nan"))), file=sys.stderr)
    for address in sorted(set(expected) | set(seen)):
        if seen.get(address, 0) != expected.get(address, 0):
            faults.append("%s: %d frame(s), expected %d"
                          % (address, seen.get(address, 0), expected.get(address, 0)))
    for fault in faults:
        print("tshark_check: " + fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
