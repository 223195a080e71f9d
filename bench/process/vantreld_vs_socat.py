#!/usr/bin/env python3
"""vantreld as a process (idle wait 0, its device list attached) beside socat, same run:
one device, bulk device->pty and pty->device MB/s, 32-byte round trips p50/p99, and the
relay's processor time per MB of each bulk transfer (every thread's): a steadier figure
than MB/s, which follows the load of the machine. The sending end of a bulk transfer runs
in a process of its own, as a device and a serial program do: two threads of this
interpreter would share its lock, and the relay's rate would then follow how that lock
passes between them rather than the relay.

usage: vantreld_vs_socat.py [rounds] BIN_DIR...  (each a directory with vantreld and
English.so; several compare builds in the same rounds)"""
import os, socket, struct, subprocess, sys, tempfile, time, tty, select

from scale_bench import in_child, read_exact_fd, read_exact_sock, round_trips

ROUNDS = int(sys.argv[1])
BINS = sys.argv[2:]
BULK = 16 << 20
CHUNK = 4096
TRIPS = 2000


def free_port():
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p


def pty_pair():
    master, slave = os.openpty()
    tty.setraw(master); tty.setraw(slave)
    name = os.ttyname(slave)
    return master, slave, name


def device_to_pty(sock, master):
    data = b"A" * CHUNK * (BULK // CHUNK)
    t0 = time.perf_counter()
    wait = in_child(lambda: sock.sendall(data))
    read_exact_fd(master, BULK)
    wait()
    return BULK / (time.perf_counter() - t0) / 1e6


def pty_to_device(sock, master):
    data = b"B" * CHUNK
    def writer():
        left = BULK
        while left:
            select.select([], [master], [], 10)
            left -= os.write(master, data[: min(CHUNK, left)])
    t0 = time.perf_counter()
    wait = in_child(writer)
    read_exact_sock(sock, BULK)
    wait()
    return BULK / (time.perf_counter() - t0) / 1e6


def cpu_ms(pid):
    """Processor time of every thread of the process, from the scheduler's nanosecond
    counts (finer than the clock ticks of /proc/PID/stat)."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            total += int(open("/proc/%d/task/%s/schedstat" % (pid, tid)).read().split()[0])
        except OSError:
            pass  # a thread that ended meanwhile
    return total / 1e6


def measure(sock, master, pid):
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    rt = round_trips(sock, master, TRIPS)
    c0 = cpu_ms(pid)
    d2p = device_to_pty(sock, master)
    c1 = cpu_ms(pid)
    p2d = pty_to_device(sock, master)
    c2 = cpu_ms(pid)
    mb = BULK / 1e6
    return d2p, p2d, rt[0], rt[1], (c1 - c0) / mb, (c2 - c1) / mb


def vantreld_round(BIN):
    work = tempfile.mkdtemp(prefix="vantrel-bench-")
    env = dict(os.environ, VANTREL_APP_DIR=work, VANTREL_PORT_DIR=work + "/ports")
    os.makedirs(work + "/ports", exist_ok=True)
    port = free_port()
    run = lambda *a: subprocess.run([BIN + "/vantreld", *a], env=env, check=True, capture_output=True)
    run("settings", "set", "--ip", "127.0.0.1", "--port", str(port), "--delay", "0")
    master, slave, name = pty_pair()
    link = work + "/ports/COM5"
    if os.path.lexists(link): os.unlink(link)
    os.symlink(name, link)
    run("tunnel", "add", "00000001", "--port", "COM5")
    proc = subprocess.Popen([BIN + "/vantreld"], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        sock = connect_when_listening(port)
        time.sleep(0.3)
        sock.sendall(struct.pack("<I", 1) + b"13912345678\0" + bytes([10, 1, 2, 3]) + b"\0")
        time.sleep(0.5)
        result = measure(sock, master, proc.pid)
        sock.close()
        return result
    finally:
        proc.terminate(); proc.wait(30)
        os.close(master); os.close(slave)


def connect_when_listening(port):
    """A connection to 127.0.0.1:port once something listens there (at most 20 s)."""
    deadline = time.time() + 20
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port))
        except OSError:
            if time.time() > deadline:
                raise
            time.sleep(0.05)


def socat_round():
    master, slave, name = pty_pair()
    port = free_port()
    proc = subprocess.Popen(["socat", f"TCP-LISTEN:{port},reuseaddr,nodelay", f"FILE:{name},raw,echo=0"])
    try:
        sock = connect_when_listening(port)
        result = measure(sock, master, proc.pid)
        sock.close()
        return result
    finally:
        proc.terminate(); proc.wait(30)
        os.close(master); os.close(slave)


def main():
    rows = {b: [] for b in BINS}
    rows["socat"] = []
    for _ in range(ROUNDS):
        for b in BINS:
            rows[b].append(vantreld_round(b))
        rows["socat"].append(socat_round())
    print("%-20s %12s %12s %9s %9s %10s %10s" % ("", "dev->pty", "pty->dev", "p50 us", "p99 us", "ms/MB d>p",
                                                "ms/MB p>d"))
    med = {}
    for k, r in rows.items():
        cols = [sorted(c)[len(c) // 2] for c in zip(*r)]
        med[k] = cols
        print("%-20s %12.1f %12.1f %9.0f %9.0f %10.2f %10.2f  (median of %d)" % (k[-20:], *cols, len(r)))
    s = med["socat"]
    for b in BINS:
        v = med[b]
        print("%-20s %12.2f %12.2f %+9.0f %+9.0f  (against socat)" % (b[-20:], v[0] / s[0], v[1] / s[1], v[2] - s[2],
                                                                      v[3] - s[3]))

main()
