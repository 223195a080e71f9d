#!/usr/bin/env python3
"""TLS device links through vantreld as a process, beside plain vantreld and beside socat
(TCP-LISTEN and OPENSSL-LISTEN) in the same run:

1. one device: bulk device->pty and pty->device MB/s, the relay's processor time per MB of
   each (every thread's; steadier than MB/s on a loaded machine) and 32-byte round trips
   p50/p99, for vantreld plain, vantreld TLS (client certificate, TlsClientCa set), socat and
   socat TLS;
2. N TLS devices (vantrel-devsim --tls) connecting at once: the time until vantreld has
   reported every registration, beside the same number of plain devices;
3. M idle TLS devices: vantreld's RSS, per link, beside M idle plain devices.

The certificates (a CA, the server's for 127.0.0.1, device 00000001's; P-256 keys) are made
with the openssl program in a temporary directory.

usage: tls_bench.py [--bin DIR] [--rounds R] [--devices N] [--idle-devices M] [--parts ...]
       (--help for all; a try-out: --rounds 1 --devices 200 --idle-devices 1000)"""
import os, resource, select, shutil, socket, sqlite3, ssl, subprocess, sys, tempfile, time

from scale_bench import (argument_parser, close_ptys, free_ports, in_child, open_ptys, proc_cpu_ms, proc_status,
                         read_exact_fd, read_exact_sock, registration, round_trips, vantreld_setup, vantreld_start,
                         vantreld_stop, wait_listening)

BULK = 16 << 20
CHUNK = 4096
TRIPS = 2000


# ---- certificates

def make_certificates(work):
    """ca.pem, server.pem/.key (127.0.0.1), 00000001.pem/.key (client) in `work`."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=work, check=True, capture_output=True)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    openssl("req", "-x509", *ec, "-days", "365", "-subj", "/CN=Vantrel bench CA", "-addext",
            "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign", "-keyout", "ca.key",
            "-out", "ca.pem")
    for name, subject, ext in (("server", "/CN=vantrel-bench", "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n"),
                               ("00000001", "/CN=00000001", "extendedKeyUsage=clientAuth\n")):
        with open(os.path.join(work, name + ".ext"), "w") as f:
            f.write(ext)
        openssl("req", *ec, "-subj", subject, "-keyout", name + ".key", "-out", name + ".csr")
        openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-days",
                "365", "-extfile", name + ".ext", "-out", name + ".pem")
    return {k: os.path.join(work, f) for k, f in (("ca", "ca.pem"), ("cert", "server.pem"), ("key", "server.key"),
                                                   ("device_cert", "00000001.pem"), ("device_key", "00000001.key"))}


def vantreld_registered(work):
    """Registrations vantreld has reported so far, plain ("registered from") and TLS
    ("registered over TLS from")."""
    with open(work + "/vantreld.out") as log:
        return sum(1 for line in log if " registered from " in line or " registered over TLS from " in line)


def set_tls(work, port, certs, client_ca):
    """The TLS settings as TabSetting rows (what `vantreld settings set --tls-...` writes)."""
    rows = {"TlsPort": str(port), "TlsCertificate": certs["cert"], "TlsKey": certs["key"],
            "TlsClientCa": certs["ca"] if client_ca else "", "TlsOnly": "0"}
    db = sqlite3.connect(os.path.join(work, "Info.db"))
    for key, value in rows.items():
        db.execute("delete from TabSetting where ParamKey = ?", (key,))
        db.execute("insert into TabSetting values (?, ?)", (key, value))
    db.commit(); db.close()


def client_context(certs):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_verify_locations(certs["ca"])
    context.load_cert_chain(certs["device_cert"], certs["device_key"])
    return context


# ---- one device: bulk and round trips

def connect(port, context=None, seconds=20):
    deadline = time.monotonic() + seconds
    while True:
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=30)
            break
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return context.wrap_socket(sock, server_hostname="127.0.0.1") if context else sock


def pty_to_device(sock, master):
    data = b"B" * CHUNK
    def writer():
        left = BULK
        while left:
            select.select([], [master], [], 10)
            try:
                left -= os.write(master, data[: min(CHUNK, left)])
            except BlockingIOError:
                pass
    t0 = time.perf_counter()
    wait = in_child(writer)
    read_exact_sock(sock, BULK)
    wait()
    return BULK / (time.perf_counter() - t0) / 1e6


def device_to_pty(sock, master):
    """Last on a connection: the child carries on the TLS session's sending state, which the
    parent then no longer has."""
    data = b"A" * BULK
    t0 = time.perf_counter()
    wait = in_child(lambda: sock.sendall(data))
    read_exact_fd(master, BULK)
    wait()
    return BULK / (time.perf_counter() - t0) / 1e6


def measure(sock, master, relay):
    """(device->pty MB/s, pty->device MB/s, round trip p50, p99, the relay process's
    processor ms per MB device->pty, pty->device)."""
    p50, p99 = round_trips(sock, master, TRIPS)
    c0 = proc_cpu_ms(relay)
    p2d = pty_to_device(sock, master)
    c1 = proc_cpu_ms(relay)
    d2p = device_to_pty(sock, master)
    c2 = proc_cpu_ms(relay)
    sock.close()
    mb = BULK / 1e6
    return d2p, p2d, p50, p99, (c2 - c1) / mb, (c1 - c0) / mb


def vantreld_round(args, certs):
    """Plain, then TLS, through one vantreld on one pty: each device registers as 00000001."""
    work = tempfile.mkdtemp(prefix="vantrel-tls-bench-")
    ends, proc = [], None
    try:
        env, port, ends = vantreld_setup(args.bin, work, 1, 1)
        tls_port = free_ports(2)[1]
        set_tls(work, tls_port, certs, client_ca=True)
        proc = vantreld_start(args.bin, work, env, port)
        wait_listening([tls_port], 30, [proc])
        master = ends[0][0]
        out = {}
        for label, p, context in (("vantreld", port, None), ("vantreld TLS", tls_port, client_context(certs))):
            before = vantreld_registered(work)
            sock = connect(p, context)
            sock.sendall(registration(1))
            wait_for(lambda: vantreld_registered(work) > before, 20, proc, work, "the device's registration")
            out[label] = measure(sock, master, proc.pid)
        return out
    finally:
        if proc is not None:
            vantreld_stop(proc)
        close_ptys(ends)
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


def socat_round(certs):
    out = {}
    for label, listen in (("socat", "TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr,nodelay"),
                          ("socat TLS", "OPENSSL-LISTEN:{port},bind=127.0.0.1,reuseaddr,nodelay,cert={cert},"
                                        "key={key},cafile={ca},verify=1")):
        ends = open_ptys(1)
        port = free_ports(1)[0]
        proc = subprocess.Popen(["socat", listen.format(port=port, **certs), f"FILE:{ends[0][2]},raw,echo=0"],
                                stderr=subprocess.PIPE)
        try:
            wait_listening([port], 20, [proc])
            out[label] = measure(connect(port, client_context(certs) if "TLS" in label else None), ends[0][0],
                                 proc.pid)
        finally:
            proc.terminate(); proc.wait(30)
            close_ptys(ends)
    return out


def wait_for(condition, seconds, proc, work, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if proc.poll() is not None:
            raise RuntimeError(f"vantreld ended ({proc.returncode}) waiting for {what}; see {work}")
        if time.monotonic() > deadline:
            raise RuntimeError(f"no {what} after {seconds} s")
        time.sleep(0.01)


def throughput(args, certs):
    rows = {}
    for r in range(args.rounds):
        for label, figures in {**vantreld_round(args, certs), **socat_round(certs)}.items():
            rows.setdefault(label, []).append(figures)
        print(f"  round {r + 1} of {args.rounds} done", flush=True)
    med = {k: [sorted(c)[len(c) // 2] for c in zip(*v)] for k, v in rows.items()}
    print("\n%-14s %10s %10s %9s %9s %10s %10s" % ("one device", "dev->pty", "pty->dev", "p50 us", "p99 us",
                                                   "ms/MB d>p", "ms/MB p>d"))
    for k, (d2p, p2d, p50, p99, cd2p, cp2d) in med.items():
        print("%-14s %10.1f %10.1f %9.0f %9.0f %10.2f %10.2f  MB/s, median of %d" % (k, d2p, p2d, p50, p99, cd2p, cp2d,
                                                                                    len(rows[k])))
    t, s = med["vantreld TLS"], med["socat TLS"]
    print("%-14s %9.2fx %9.2fx %+9.0f %+9.0f %9.2fx %9.2fx  (vantreld TLS against socat TLS)"
          % ("", t[0] / s[0], t[1] / s[1], t[2] - s[2], t[3] - s[3], t[4] / s[4], t[5] / s[5]))
    for label, figures in rows.items():
        print("  %-14s each round dev->pty %s MB/s" % (label, " ".join("%.1f" % f[0] for f in figures)))


# ---- many devices: connecting at once, and idle

def many_devices(args, certs, count, tls, settle):
    """vantreld with `count` tunnels (100 a pty); vantrel-devsim connects `count` devices at once
    and keeps them idle. Returns (seconds until every registration was reported, RSS kB at the
    start, RSS kB idle, devsim's failed count)."""
    work = tempfile.mkdtemp(prefix="vantrel-tls-many-")
    ends, proc, devsim = [], None, None
    try:
        env, port, ends = vantreld_setup(args.bin, work, count, 100)
        tls_port = free_ports(2)[1]
        if tls:
            set_tls(work, tls_port, certs, client_ca=False)
        proc = vantreld_start(args.bin, work, env, port)
        if tls:
            wait_listening([tls_port], 30, [proc])
        time.sleep(1)
        started = proc_status(proc.pid)["VmRSS"]
        command = [os.path.join(args.bin, "vantrel-devsim"), "--port", str(tls_port if tls else port), "--devices",
                   str(count), "--show", "none", "--duration", "3600"]
        if tls:
            command += ["--tls", "--ca", certs["ca"]]
        with open(os.path.join(work, "devsim.out"), "w") as out:
            t0 = time.monotonic()
            devsim = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT)
        last, seen = t0, 0
        deadline = t0 + 120 + count / 50
        while seen < count:
            n = vantreld_registered(work)
            if n > seen:
                seen, last = n, time.monotonic()
            if devsim.poll() is not None or proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"{seen} of {count} devices registered; see {work}")
            time.sleep(0.02)
        time.sleep(settle)
        idle = proc_status(proc.pid)["VmRSS"]
        devsim.terminate(); devsim.wait(60)
        with open(os.path.join(work, "devsim.out")) as f:
            summary = [line for line in f if "device(s)," in line]
        return last - t0, started, idle, summary[-1].strip() if summary else "(no summary)"
    finally:
        if devsim is not None and devsim.poll() is None:
            devsim.kill(); devsim.wait(10)
        if proc is not None:
            vantreld_stop(proc)
        close_ptys(ends)
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


def flood(args, certs):
    print(f"\n{args.devices} devices connecting at once (vantrel-devsim, one process):")
    for tls in (True, False):
        seconds, _, _, summary = many_devices(args, certs, args.devices, tls, 0)
        print(f"  {'TLS  ' if tls else 'plain'}  all registered in {seconds:.2f} s   (devsim: {summary})", flush=True)


def idle(args, certs):
    print(f"\n{args.idle_devices} idle devices, vantreld's RSS (after {args.settle:g} s idle):")
    for tls in (True, False):
        _, started, rss, summary = many_devices(args, certs, args.idle_devices, tls, args.settle)
        print(f"  {'TLS  ' if tls else 'plain'}  started {started / 1024:.1f} MB, idle {rss / 1024:.1f} MB: "
              f"{(rss - started) / args.idle_devices:.1f} KB per link   (devsim: {summary})", flush=True)


def main():
    ap = argument_parser(__doc__)
    ap.add_argument("--rounds", type=int, default=3, help="rounds of the one-device figures, medians (default 3)")
    ap.add_argument("--devices", type=int, default=1000, help="devices connecting at once (default 1000)")
    ap.add_argument("--idle-devices", type=int, default=10000, help="idle devices for the RSS (default 10000)")
    ap.add_argument("--settle", type=float, default=5, help="seconds idle before the RSS is read (default 5)")
    ap.add_argument("--parts", nargs="+", choices=("throughput", "flood", "idle"),
                    default=["throughput", "flood", "idle"], help="what to measure (default all)")
    ap.add_argument("--keep", action="store_true", help="keep vantreld's application directories (their logs)")
    args = ap.parse_args()
    if args.rounds < 1 or not 0 < args.devices <= 100000 or not 0 < args.idle_devices <= 100000 or args.settle < 0:
        ap.error("--rounds at least 1, --devices and --idle-devices from 1 to 100000, --settle not negative")
    for program in ("vantreld", "vantrel-devsim"):
        if not os.access(os.path.join(args.bin, program), os.X_OK):
            ap.error(f"no {program} in {args.bin} (cmake --build DIR --target vantreld vantrel-devsim English)")
    for program in ("socat", "openssl"):
        if not shutil.which(program):
            ap.error(f"{program} is not installed (apt install {program})")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = max(args.devices, args.idle_devices) + 1000
    if hard < need:
        sys.exit(f"the open-file limit is {hard}; {need} are needed (ulimit -Hn)")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    certs_dir = tempfile.mkdtemp(prefix="vantrel-tls-certs-")
    try:
        certs = make_certificates(certs_dir)
        with open("/proc/loadavg") as f:
            print(f"load average at start: {' '.join(f.read().split()[:3])}; {os.cpu_count()} cpus", flush=True)
        if "throughput" in args.parts:
            throughput(args, certs)
        if "flood" in args.parts:
            flood(args, certs)
        if "idle" in args.parts:
            idle(args, certs)
        with open("/proc/loadavg") as f:
            print(f"\nload average at the end: {' '.join(f.read().split()[:3])}")
    finally:
        shutil.rmtree(certs_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
