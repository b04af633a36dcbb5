"""Throwaway network namespaces joined by veth pairs, a Wine prefix inside any of them, and
NTP receivers, for running ostrival.exe where its broadcasts reach nothing but peers made here.

Under Wine a program's sockets belong to its prefix's wineserver, not to the program: a
wineserver started in the machine's own namespace sends on the real network even when the
program runs under `ip netns exec`. So a Prefix starts its wineserver inside a namespace of
its Lab, and checks it is there, and not in the machine's namespace, before running anything.
A Lab removes every namespace, process and prefix it made when it closes, however it ends.
"""

import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time
from collections import namedtuple

from pyroute2 import NetNS, netns

import wine32

WINE = "/usr/lib/wine/wine64"
# A 32-bit prefix runs on the 32-bit loader, which Debian's wine32:i386 brings.
LOADERS = {"x64": (WINE, "win64", "wine64"), "x86": (wine32.LOADER, "win32", "wine32:i386")}
WINESERVER = "/usr/lib/wine/wineserver"
SO_TIMESTAMPNS = 35
SO_RCVBUFFORCE = 33
IP_PKTINFO = 8
NTP_EPOCH = 2208988800  # seconds from 1900-01-01 to 1970-01-01
SERVICE = "Ostrival"

# data: the UDP payload; dst: the address it was sent to; t_ns: the kernel's receive time.
Datagram = namedtuple("Datagram", "data dst t_ns")


def wait_for(what, condition, timeout, step=0.1):
    """Polls condition() until it returns something true, which is returned."""
    deadline = time.monotonic() + timeout
    while True:
        got = condition()
        if got:
            return got
        if time.monotonic() > deadline:
            raise TimeoutError(f"{what}: not within {timeout} s")
        time.sleep(step)


def ns_of(pid):
    """The network namespace process PID is in, as net:[inode]."""
    return os.readlink(f"/proc/{pid}/ns/net")


def ns_named(name):
    return f"net:[{os.stat('/run/netns/' + name).st_ino}]"


class Lab:
    """Namespaces named after this process, and everything started in them. Its prefixes are
    of architecture ARCH (x64 or x86) unless told otherwise."""

    def __init__(self, tag, arch="x64"):
        self.tag, self.arch = f"ostv{os.getpid()}{tag}", arch
        self.tmp = tempfile.mkdtemp(prefix=self.tag + "-")
        self.prefixes, self.sockets, self.netlinks = [], [], {}
        # The namespace this runs in, and the machine's where it can be read, are never used.
        self.outside = {ns_of("self")}
        try:
            self.outside.add(ns_of(1))
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def name(self, short):
        return f"{self.tag}-{short}"

    def ns(self, short):
        """The namespace SHORT, made with loopback up on first use."""
        self.link(short, "lo")
        return self.name(short)

    def link(self, short, ifname):
        """(netlink socket in namespace SHORT, index of IFNAME there)."""
        name = self.name(short)
        if name not in self.netlinks:
            netns.create(name)
            self.netlinks[name] = NetNS(name)
            self.up(short, "lo")
        ipr = self.netlinks[name]
        return ipr, (ipr.link_lookup(ifname=ifname) or [None])[0]

    def up(self, short, ifname, cidr=None):
        """Brings IFNAME in SHORT up, with the address CIDR ("10.1.1.1/24") if given."""
        ipr, index = self.link(short, ifname)
        if cidr:
            address, length = cidr.split("/")
            ipr.addr("add", index=index, address=address, prefixlen=int(length))
        ipr.link("set", index=index, state="up")

    def down(self, short, ifname):
        ipr, index = self.link(short, ifname)
        ipr.link("set", index=index, state="down")

    def veth(self, a, a_if, a_cidr, b, b_if, b_cidr):
        """A veth pair made directly in its two namespaces: no end ever exists out here."""
        self.link(a, "lo")[0].link("add", ifname=a_if, kind="veth",
                                   peer={"ifname": b_if, "net_ns_fd": self.ns(b)})
        self.up(a, a_if, a_cidr)
        self.up(b, b_if, b_cidr)

    def tun(self, short, ifname, cidr):
        """A tun device: Wine lists it as Type 1."""
        self.link(short, "lo")[0].link("add", ifname=ifname, kind="tuntap", mode="tun")
        self.up(short, ifname, cidr)

    def readdress(self, short, ifname, cidr):
        ipr, index = self.link(short, ifname)
        ipr.flush_addr(index=index)
        self.up(short, ifname, cidr)

    def route(self, short, gateway=None, ifname=None):
        """A default route in SHORT, through GATEWAY or straight out of IFNAME."""
        ipr, index = self.link(short, ifname or "lo")
        ipr.route("add", dst="0.0.0.0/0", gateway=gateway, oif=index if ifname else None)

    def sent(self, short, ifname):
        """Packets IFNAME in SHORT has sent or dropped on the way out."""
        ipr, index = self.link(short, ifname)
        stats = ipr.get_links(index)[0].get_attr("IFLA_STATS64")
        return stats["tx_packets"] + stats["tx_dropped"]

    def pids(self, short, named=""):
        """The processes in namespace SHORT whose command line holds NAMED, but for the fork of
        this process that pyroute2 keeps there to hold its netlink socket."""
        inside, found = ns_named(self.name(short)), []
        with open("/proc/self/cmdline", "rb") as f:
            ours = f.read()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    line = f.read()
                if ns_of(pid) == inside and line != ours and named.encode() in line.lower():
                    found.append(int(pid))
            except OSError:
                pass
        return found

    def prefix(self, short, arch=None):
        prefix = Prefix(self, short, arch or self.arch)
        self.prefixes.append(prefix)
        return prefix

    def receiver(self, short):
        receiver = Receiver(self.ns(short))
        self.sockets.append(receiver.sock)
        return receiver

    def close(self):
        for s in self.sockets:
            s.close()
        for prefix in self.prefixes:
            try:
                prefix.close()
            except Exception:  # what is left of it dies with its namespace below
                pass
        for name, ipr in self.netlinks.items():
            ipr.close()
            for pid in self.pids(name[len(self.tag) + 1:]):
                try:
                    os.kill(pid, 9)
                except OSError:
                    pass
            netns.remove(name)
        shutil.rmtree(self.tmp, ignore_errors=True)


class Prefix:
    """A fresh Wine prefix of architecture ARCH whose wineserver runs inside namespace SHORT of
    LAB. It refuses to start where that architecture's Wine is missing or cannot run it, and
    raises wine32.Refused, a skip, where the kernel cannot run 32-bit programs."""

    def __init__(self, lab, short, arch):
        self.loader, winearch, package = LOADERS[arch]
        if arch == "x86":
            wine32.require()
        elif not os.access(self.loader, os.X_OK):
            raise RuntimeError(f"{self.loader} is missing: install {package} (scripts/deps.sh)")
        self.lab, self.ns = lab, lab.ns(short)
        self.path = tempfile.mkdtemp(prefix=f"prefix-{short}-", dir=lab.tmp)
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        # Arguments reach Wine as UTF-8 whatever the caller's locale.
        self.env.update(WINEPREFIX=self.path, WINEARCH=winearch, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8")
        self.inode = ns_named(self.ns)
        self.server_dir = None
        self.server = subprocess.Popen(["ip", "netns", "exec", self.ns, WINESERVER, "-f", "-p"],
                                       env=self.env, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        # `ip netns exec` becomes the wineserver once it has joined the namespace.
        wait_for("wineserver in " + self.ns, lambda: self.server_inode() == self.inode, 10, 0.02)
        # Until it listens, a client would start a wineserver of its own.
        wait_for("wineserver socket", self._listening, 10, 0.02)
        # The first command boots the prefix; `wineboot -i` as well would start a second
        # services.exe with a service database of its own. A Wine that lacks its 32-bit side
        # can exit 0 having run nothing, so the command must be heard.
        if self.run("cmd", "/c", "echo", "booted", timeout=120)[1] != b"booted\r\n":
            raise RuntimeError(f"{self.loader} ran nothing in a new {winearch} prefix: "
                               f"install {package} whole (scripts/deps.sh)")

    def server_inode(self):
        try:
            return ns_of(self.server.pid)
        except OSError:
            return None

    def _listening(self):
        cwd = os.readlink(f"/proc/{self.server.pid}/cwd")
        if "/server-" in cwd and os.path.exists(cwd + "/socket"):
            self.server_dir = os.path.dirname(cwd)  # Debian's wineserver makes it; it outlives it
            return True
        return False

    def command(self, argv):
        """ARGV run with Wine in this prefix, inside its namespace; refuses anywhere else."""
        where = self.server_inode()
        if where != self.inode or where in self.lab.outside:
            raise RuntimeError(f"wineserver of {self.ns} is not running inside it: refusing")
        return ["ip", "netns", "exec", self.ns, self.loader, *map(str, argv)]

    def spawn(self, *argv, debug="-all", **popen):
        return subprocess.Popen(self.command(argv), env=dict(self.env, WINEDEBUG=debug), **popen)

    def run(self, *argv, debug="-all", timeout=60):
        """Runs a Windows program to its end: (exit status, stdout bytes, stderr text). Files,
        not pipes, take the output: Wine's own processes inherit them and outlive the run."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            status = self.spawn(*argv, debug=debug, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=err).wait(timeout)
            out.seek(0)
            err.seek(0)
            return status, out.read(), err.read().decode("utf-8", "replace")

    def drive_c(self, windows_path):
        """The Linux path of a C:\\ path in this prefix."""
        return os.path.join(self.path, "drive_c", *windows_path[3:].split("\\"))

    def put(self, path, windows_path):
        """Copies the file PATH to WINDOWS_PATH in this prefix and returns that path."""
        target = self.drive_c(windows_path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(path, target)
        return windows_path

    def service_state(self):
        """The service's state as the manager reports it (4 running, 1 stopped), None if none."""
        status, out, _ = self.run("sc", "query", SERVICE)
        for line in out.decode().splitlines():
            if line.split(":")[0].strip() == "STATE":
                return int(line.split(":")[1].split()[0])
        return None

    def traces(self, tracecap):
        return Traces(self, tracecap)

    def close(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        try:
            self.server.wait(10)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
        if self.server_dir:
            shutil.rmtree(self.server_dir, ignore_errors=True)


class Traces:
    """tracecap.exe -p running in a prefix: every debug-output line of its processes."""

    def __init__(self, prefix, tracecap):
        self.out = open(os.path.join(prefix.lab.tmp, f"trace-{id(self)}"), "w+b")
        self.process = prefix.spawn(tracecap, "-p", stdout=self.out, stderr=subprocess.PIPE,
                                    stdin=subprocess.DEVNULL)
        ready = self.process.stderr.readline()
        if not ready.startswith(b"tracecap: ready"):
            raise RuntimeError(f"tracecap did not start: {ready!r}")

    def lines(self):
        """(Windows pid, text) of every line captured so far."""
        self.out.seek(0)
        lines = self.out.read().decode("utf-8", "replace").replace("\r", "").splitlines()
        return [(int(pid), text) for pid, _, text in (line.partition(": ") for line in lines)]


class Receiver:
    """A UDP socket on port 123 of every address in namespace NS."""

    def __init__(self, ns):
        netns.pushns(ns)
        try:
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        finally:
            netns.popns()
        # Room for a cycle of a few hundred adapters until it is taken.
        self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 1 << 22)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        self.sock.bind(("", 123))

    def take(self, count=0, timeout=1.0, quiet=0.3):
        """What arrived since the last take, waiting up to TIMEOUT s for COUNT datagrams and
        then until none has come for QUIET s, so a late or an extra one is caught too."""
        got, deadline = [], time.monotonic() + timeout
        while True:
            wait = quiet if len(got) >= count else deadline - time.monotonic()
            if wait <= 0:
                return got
            self.sock.settimeout(wait)
            try:
                got.append(self._receive())
            except socket.timeout:
                if len(got) >= count:
                    return got

    def _receive(self):
        data, ancillary, _, _ = self.sock.recvmsg(2048, 256)
        dst, t_ns = None, None
        for level, kind, value in ancillary:
            if (level, kind) == (socket.SOL_SOCKET, SO_TIMESTAMPNS):
                seconds, nanoseconds = struct.unpack("qq", value[:16])
                t_ns = seconds * 10**9 + nanoseconds
            elif (level, kind) == (socket.IPPROTO_IP, IP_PKTINFO):
                dst = socket.inet_ntoa(value[8:12])
        return Datagram(data, dst, t_ns)


def carried_ns(seconds, fraction):
    """An NTP timestamp as Unix nanoseconds, by the standard rule (fraction / 2^32)."""
    return (seconds - NTP_EPOCH) * 10**9 + (fraction * 10**9 >> 32)
