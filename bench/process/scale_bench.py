#!/usr/bin/env python3
"""Many devices, each sending 16 bytes a second, through vantreld as a process (its device
list attached, idle wait 0, PER_PORT devices per pty) and, in the same run, through socat
with one process and one pty per device.

Every record carries its device index, sequence number and send time (CLOCK_MONOTONIC), so
the serial side counts what arrived per port and per device and measures one-way latency.
The devices are one process of this script (blocking-free sends spread evenly over each
period), the serial side another (one epoll over every pty end).

usage: scale_bench.py [--bin DIR] [--devices N] [--seconds S] [--socat-devices M] ...
       (--help for all; a try-out: --devices 200 --seconds 10 --socat-devices 50)"""
import argparse, array, math, multiprocessing, os, resource, select, shutil, socket, sqlite3, struct
import subprocess, sys, tempfile, time, tty

RECORD = 16
MARK = 0x80  # first byte of a record; the other 15 carry 7 bits each, so no byte is FD or FE
SHIFTS = range(98, -1, -7)
NS = 1_000_000_000
CLK_TCK = os.sysconf("SC_CLK_TCK")


# ---- the record: MARK, then (device << 85 | sequence << 64 | send time ns) in 15 7-bit bytes

def encode(device, sequence, sent_ns):
    value = (device << 85) | (sequence << 64) | sent_ns
    return bytes((MARK, *((value >> s) & 0x7F for s in SHIFTS)))


def decode_port(port, data, ends, times, per_port, count, seen, latencies):
    """Walks one port's byte stream; fills seen[device * count + sequence] and latencies.
    Returns (records, corrupt bytes skipped, records of a device that belongs to another port)."""
    records = skipped = misrouted = 0
    read = 0
    i = 0
    limit = len(data) - RECORD
    while i <= limit:
        if data[i] != MARK or any(b & 0x80 for b in data[i + 1:i + RECORD]):
            skipped += 1
            i += 1
            continue
        value = 0
        for b in data[i + 1:i + RECORD]:
            value = (value << 7) | b
        device, sequence, sent_ns = value >> 85, (value >> 64) & 0x1FFFFF, value & 0xFFFFFFFFFFFFFFFF
        i += RECORD
        while ends[read] < i:
            read += 1
        if sequence >= count or device // per_port != port:
            misrouted += 1
            continue
        records += 1
        if seen[device * count + sequence] < 255:
            seen[device * count + sequence] += 1
        latencies.append(times[read] - sent_ns)
    return records, skipped + (len(data) - i), misrouted


# ---- /proc

def proc_status(pid):
    """VmRSS, VmHWM (kB) and Threads of a process, zeros once it is gone."""
    out = {"VmRSS": 0, "VmHWM": 0, "Threads": 0}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key = line.split(":", 1)[0]
                if key in out:
                    out[key] = int(line.split()[1])
    except FileNotFoundError:
        pass
    return out


def proc_pss_kb(pid):
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except (FileNotFoundError, PermissionError):
        pass
    return 0


def proc_cpu_s(pid):
    """utime + stime of every thread of the process, in seconds."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except FileNotFoundError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def proc_cpu_ms(pid):
    """Processor time of every thread of the process in ms, from the scheduler's nanosecond
    counts (finer than the clock ticks of proc_cpu_s)."""
    total = 0
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return 0.0
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that ended meanwhile
    return total / 1e6


def switches(pids):
    """Context switches (voluntary and not) of every live thread of pids: each hand-off of a
    record between threads costs one or two."""
    total = 0
    for pid in pids:
        try:
            tasks = os.listdir(f"/proc/{pid}/task")
        except FileNotFoundError:
            continue
        for tid in tasks:
            try:
                with open(f"/proc/{pid}/task/{tid}/status") as f:
                    total += sum(int(line.split()[1]) for line in f if "ctxt_switches:" in line)
            except FileNotFoundError:
                pass
    return total


def memory(pids):
    """Summed over pids: RSS, HWM, PSS in MB, and threads."""
    rss = hwm = pss = threads = 0
    for pid in pids:
        s = proc_status(pid)
        rss += s["VmRSS"]; hwm += s["VmHWM"]; threads += s["Threads"]
        pss += proc_pss_kb(pid)
    return {"rss": rss / 1024, "hwm": hwm / 1024, "pss": pss / 1024, "threads": threads}


def cpu(pids):
    return sum(proc_cpu_s(p) for p in pids)


def listening(ports):
    """Which of `ports` have a listening socket on 127.0.0.1 or any address (from /proc/net/tcp)."""
    found = set()
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            cols = line.split()
            if cols[3] == "0A":
                port = int(cols[1].split(":")[1], 16)
                if port in ports:
                    found.add(port)
    return found


def wait_listening(ports, seconds, procs):
    deadline = time.monotonic() + seconds
    ports = set(ports)
    while True:
        if listening(ports) == ports:
            return
        dead = [p.args for p in procs if p.poll() is not None]
        if dead:
            raise RuntimeError(f"{len(dead)} server process(es) ended before listening, e.g. {dead[0]}")
        if time.monotonic() > deadline:
            raise RuntimeError(f"{len(ports - listening(ports))} of {len(ports)} ports not listening after {seconds} s")
        time.sleep(0.1)


def free_ports(n):
    """n loopback ports below the ephemeral range, free now (the devices' own ports come from that range)."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low = int(f.read().split()[0])
    ports = []
    candidate = low - 1
    while len(ports) < n and candidate > 1024:
        s = socket.socket()
        try:
            s.bind(("127.0.0.1", candidate))
            ports.append(candidate)
        except OSError:
            pass
        finally:
            s.close()
        candidate -= 1
    if len(ports) < n:
        raise RuntimeError(f"only {len(ports)} free ports below {low}")
    return ports


def open_ptys(n):
    """n raw pty pairs: (master, slave, slave's name). This script keeps both ends open so
    that the master never sees a hang-up while the server has the port closed."""
    ends = []
    for _ in range(n):
        master, slave = os.openpty()
        tty.setraw(master); tty.setraw(slave)
        os.set_blocking(master, False)
        ends.append((master, slave, os.ttyname(slave)))
    return ends


def close_ptys(ends):
    for master, slave, _ in ends:
        os.close(master); os.close(slave)


# ---- one device: exact reads, a sender in a child, round trips

def read_exact_fd(fd, n):
    got = 0
    while got < n:
        if not select.select([fd], [], [], 30)[0]:
            raise TimeoutError(f"the pty had {got} of {n} bytes after 30 s")
        try:
            got += len(os.read(fd, min(65536, n - got)))
        except BlockingIOError:
            pass


def read_exact_sock(sock, n):
    got = 0
    buf = bytearray(65536)
    while got < n:
        k = sock.recv_into(buf, min(65536, n - got))
        if k == 0:
            raise EOFError(f"the connection ended after {got} of {n} bytes")
        got += k


def in_child(work):
    """work() in a child process, as a device and a serial program are separate processes;
    returns a function that waits for it."""
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            work()
        except BaseException:
            code = 1
        os._exit(code)
    def wait():
        _, status = os.waitpid(pid, 0)
        if status != 0:
            raise RuntimeError("transfer child failed")
    return wait


def round_trips(sock, master, trips):
    """`trips` 32-byte round trips device -> pty -> device: p50 and p99 in microseconds."""
    msg = b"C" * 32
    times = []
    for _ in range(trips):
        t0 = time.perf_counter()
        sock.sendall(msg)
        read_exact_fd(master, 32)
        os.write(master, msg)
        read_exact_sock(sock, 32)
        times.append(time.perf_counter() - t0)
    times.sort()
    return times[len(times) // 2] * 1e6, times[int(len(times) * 0.99)] * 1e6



# ---- the devices (a child process)

def registration(number):
    return struct.pack("<I", number) + b"13912345678\0" + bytes([10, 1, 2, 3]) + b"\0"


def devices_main(conn, targets, register, count, period_s):
    socks = []
    failed = 0
    for i, port in enumerate(targets):
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=10)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if register:
                s.sendall(registration(i + 1))
            s.setblocking(False)
        except OSError as e:
            if failed == 0:
                print(f"device {i}: {e}", file=sys.stderr)
            failed += 1
            s = None
        socks.append(s)
    conn.send(("connected", failed))
    if not conn.poll(600):
        return
    what, t0 = conn.recv()
    if what != "go":
        return
    n = len(socks)
    total = n * count
    step = period_s * NS / n
    sent = [0] * n
    trouble = {"blocked": 0, "partial": 0, "errors": 0}
    deadline = t0 + int((count * period_s + 60) * NS)
    j = 0
    while j < total:
        now = time.monotonic_ns()
        if now > deadline:
            break
        due = min(total, int((now - t0) / step) + 1) if now >= t0 else 0
        while j < due:
            k, i = divmod(j, n)
            j += 1
            s = socks[i]
            if s is None:
                continue
            try:
                w = s.send(encode(i, k, time.monotonic_ns()))
            except BlockingIOError:
                trouble["blocked"] += 1
                continue
            except OSError:
                trouble["errors"] += 1
                continue
            if w == RECORD:
                sent[i] += 1
            else:
                trouble["partial"] += 1
        time.sleep(max(0.0005, (t0 + j * step - time.monotonic_ns()) / NS))
    conn.send(("sent", sent, trouble))
    conn.poll(600)
    for s in socks:
        if s is not None:
            s.close()


# ---- the serial side (a child process)

def serial_main(conn, masters, per_port, devices, count, run_s):
    ep = select.epoll()
    port_of = {}
    for p, fd in enumerate(masters):
        ep.register(fd, select.EPOLLIN)
        port_of[fd] = p
    ep.register(conn.fileno(), select.EPOLLIN)
    data = [bytearray() for _ in masters]
    ends = [array.array("q") for _ in masters]   # stream offset after each read
    times = [array.array("q") for _ in masters]  # its CLOCK_MONOTONIC
    got = 0
    expected = drain_until = None
    hard_stop = time.monotonic() + run_s
    read_errors = 0
    while time.monotonic() < hard_stop:
        if expected is not None and (got >= expected or time.monotonic() > drain_until):
            break
        for fd, _ in ep.poll(0.2):
            if fd == conn.fileno():
                expected, drain_s = conn.recv()
                drain_until = time.monotonic() + drain_s
                continue
            try:
                chunk = os.read(fd, 65536)
            except BlockingIOError:
                continue
            except OSError:
                read_errors += 1
                ep.unregister(fd)
                continue
            now = time.monotonic_ns()
            p = port_of[fd]
            data[p] += chunk
            ends[p].append(len(data[p]))
            times[p].append(now)
            got += len(chunk)
    conn.send(("drained", time.monotonic_ns(), got))

    seen = bytearray(devices * count)
    latencies = array.array("q")
    records = skipped = misrouted = 0
    for p in range(len(masters)):
        r, s, m = decode_port(p, data[p], ends[p], times[p], per_port, count, seen, latencies)
        records += r; skipped += s; misrouted += m
    per_device = [sum(1 for c in seen[d * count:(d + 1) * count] if c) for d in range(devices)]
    duplicates = sum(c - 1 for c in seen if c > 1)
    lat = sorted(latencies)
    pick = lambda q: lat[min(len(lat) - 1, int(len(lat) * q))] / 1e6 if lat else float("nan")
    conn.send({"bytes_per_port": [len(d) for d in data], "per_device": per_device, "records": records,
               "skipped": skipped, "misrouted": misrouted, "duplicates": duplicates, "read_errors": read_errors,
               "seen": seen, "p50": pick(0.5), "p99": pick(0.99), "max": lat[-1] / 1e6 if lat else float("nan")})


# ---- one run of the traffic against a server made of `pids`

def drive(label, pids, ends, per_port, targets, register, args, ready):
    """Connects the devices, waits until `ready(failed)` says the server has them all, then sends
    and measures. Returns the figures."""
    devices = len(targets)
    count = max(1, round(args.seconds / args.period))
    ctx = multiprocessing.get_context("fork")
    serial_conn, serial_child = ctx.Pipe()
    dev_conn, dev_child = ctx.Pipe()
    run_s = args.seconds + args.drain + devices / 50 + 600
    serial = ctx.Process(target=serial_main, args=(serial_child, [m for m, _, _ in ends], per_port, devices, count, run_s))
    sender = ctx.Process(target=devices_main, args=(dev_child, targets, register, count, args.period))
    serial.start(); sender.start()
    out = {"label": label, "devices": devices}
    try:
        if not dev_conn.poll(60 + devices / 20):
            raise RuntimeError("the devices did not connect in time")
        _, failed = dev_conn.recv()
        out["connect_failed"] = failed
        ready(failed)
        time.sleep(args.settle)
        out["idle"] = memory(pids)

        t0 = time.monotonic_ns() + NS // 2
        cpu0, own0, sw0 = cpu(pids), cpu([serial.pid, sender.pid]), switches(pids)
        dev_conn.send(("go", t0))
        peak_rss = peak_pss = 0.0
        sample_every = 1.0 if len(pids) < 10 else 5.0
        deadline = time.monotonic() + count * args.period + 120
        while not dev_conn.poll(sample_every):
            m = memory(pids)
            peak_rss, peak_pss = max(peak_rss, m["rss"]), max(peak_pss, m["pss"])
            if time.monotonic() > deadline:
                raise RuntimeError("the devices did not finish sending in time")
        _, sent, trouble = dev_conn.recv()
        serial_conn.send((RECORD * sum(sent), args.drain))
        if not serial_conn.poll(args.drain + 30):
            raise RuntimeError("the serial side did not stop in time")
        _, t1, got = serial_conn.recv()
        cpu1, own1, sw1 = cpu(pids), cpu([serial.pid, sender.pid]), switches(pids)
        m = memory(pids)
        out["peak"] = {"rss": max(peak_rss, m["rss"]), "pss": max(peak_pss, m["pss"]), "hwm": m["hwm"]}
        out["cpu_s"] = cpu1 - cpu0
        out["wall_s"] = (t1 - t0) / NS
        out["bench_cpu_s"] = own1 - own0
        out["switches"] = sw1 - sw0
        out["sent"] = sent
        out["trouble"] = trouble
        if not serial_conn.poll(120 + devices / 100):
            raise RuntimeError("the serial side did not report in time")
        out.update(serial_conn.recv())
        dev_conn.send("close")
    finally:
        for child in (sender, serial):
            child.join(10)
            if child.is_alive():
                child.kill(); child.join(5)
    return out


def vantreld_setup(bin_dir, work, devices, per_port):
    """Fills the application directory `work`: settings through `vantreld settings set`
    (127.0.0.1, a free port, idle wait 0, no escaping, no heartbeat filter), a tunnel in Info.db
    for every device (ID i + 1 in hexadecimal, per_port devices a port), COM<n> links in
    work/ports to fresh ptys. Returns (environment, listening port, pty ends); the caller closes
    the ends."""
    env = dict(os.environ, VANTREL_APP_DIR=work, VANTREL_PORT_DIR=work + "/ports")
    os.makedirs(work + "/ports")
    port = free_ports(1)[0]
    subprocess.run([os.path.join(bin_dir, "vantreld"), "settings", "set", "--ip", "127.0.0.1", "--port", str(port),
                    "--delay", "0", "--escape", "off", "--filter-heartbeat", "off", "--language", "en"],
                   env=env, check=True, capture_output=True)
    ends = open_ptys(math.ceil(devices / per_port))
    try:
        for n, (_, _, name) in enumerate(ends, 1):
            os.symlink(name, f"{work}/ports/COM{n}")
        db = sqlite3.connect(work + "/Info.db")
        db.executemany("insert into TunnelInfo values (?, ?, 9600, 8, '1', 'None', '')",
                       [("%08X" % (i + 1), "COM%d" % (i // per_port + 1)) for i in range(devices)])
        db.commit(); db.close()
    except BaseException:
        close_ptys(ends)
        raise
    return env, port, ends


def vantreld_start(bin_dir, work, env, port):
    """Starts vantreld on `work` and returns its process once it listens on `port`."""
    # The program's own descriptors (append-only); the readers open the files by name, so
    # that their reading does not move the program's write position.
    with open(work + "/vantreld.out", "a") as log, open(work + "/vantreld.err", "a") as err:
        proc = subprocess.Popen([os.path.join(bin_dir, "vantreld")], env=env, stdout=log, stderr=err)
    try:
        wait_listening([port], 30, [proc])
    except BaseException:
        vantreld_stop(proc)
        raise
    return proc


def vantreld_registered(work):
    """Registrations vantreld has reported so far."""
    with open(work + "/vantreld.out") as log:
        return sum(1 for line in log if " registered from " in line)


def vantreld_wait_registered(proc, work, count):
    deadline = time.monotonic() + 60 + count / 100
    while vantreld_registered(work) < count:
        if proc.poll() is not None:
            raise RuntimeError(f"vantreld ended ({proc.returncode}); see {work}")
        if time.monotonic() > deadline:
            raise RuntimeError(f"only {vantreld_registered(work)} of {count} devices registered")
        time.sleep(0.2)


def vantreld_stop(proc):
    """SIGTERM, which stops the service cleanly; a kill after a minute."""
    proc.terminate()
    try:
        proc.wait(60)
    except subprocess.TimeoutExpired:
        proc.kill(); proc.wait(10)


def run_vantreld(args, devices):
    work = tempfile.mkdtemp(prefix="vantrel-scale-")
    ends = []
    proc = None
    try:
        env, port, ends = vantreld_setup(args.bin, work, devices, args.per_port)
        proc = vantreld_start(args.bin, work, env, port)
        print(f"vantreld ({devices} devices): pid {proc.pid}, application directory {work}", flush=True)
        started = memory([proc.pid])
        out = drive(f"vantreld ({devices})", [proc.pid], ends, args.per_port, [port] * devices, True, args,
                    lambda failed: vantreld_wait_registered(proc, work, devices - failed))
        out["started"] = started
        out["ports"] = len(ends)
        with open(work + "/vantreld.err") as err:
            out["problems"] = err.read().splitlines()
        return out
    finally:
        if proc is not None:
            vantreld_stop(proc)
        close_ptys(ends)
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


def run_socat(args, devices):
    ends = open_ptys(devices)
    ports = free_ports(devices)
    work = tempfile.mkdtemp(prefix="vantrel-scale-socat-")
    procs = []
    try:
        with open(work + "/socat.err", "a") as err:
            for port, (_, _, name) in zip(ports, ends):
                procs.append(subprocess.Popen(
                    ["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr,nodelay", f"FILE:{name},raw,echo=0"],
                    stdout=subprocess.DEVNULL, stderr=err))
        wait_listening(ports, 60 + devices / 20, procs)
        out = drive(f"socat x{devices}", [p.pid for p in procs], ends, 1, ports, False, args, lambda failed: None)
        out["ports"] = devices
        with open(work + "/socat.err") as err:
            out["problems"] = err.read().splitlines()
        return out
    finally:
        for p in procs:
            if p.poll() is None:
                p.terminate()
        for p in procs:
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill(); p.wait(5)
        close_ptys(ends)
        shutil.rmtree(work, ignore_errors=True)


def report(r, args):
    count = max(1, round(args.seconds / args.period))
    sent = sum(r["sent"])
    delivered = sum(min(d, s) for d, s in zip(r["per_device"], r["sent"]))
    full_devices = sum(1 for d, s in zip(r["per_device"], r["sent"]) if d >= s)
    port_expected = [0] * r["ports"]
    per_port = args.per_port if r["label"].startswith("vantreld") else 1
    for i, s in enumerate(r["sent"]):
        port_expected[i // per_port] += s * RECORD
    full_ports = sum(1 for got, want in zip(r["bytes_per_port"], port_expected) if got >= want)
    print(f"\n{r['label']}: {r['devices']} devices on {r['ports']} ptys, {RECORD} B every {args.period:g} s "
          f"for {args.seconds:g} s ({count} records each)")
    print(f"  delivered   {delivered} / {r['devices'] * count} records "
          f"({100.0 * delivered / max(1, r['devices'] * count):.3f} %); sent {sent}; "
          f"{full_devices} devices and {full_ports} / {r['ports']} ports complete "
          f"({sum(r['bytes_per_port'])} / {sum(port_expected)} bytes)")
    print(f"  faults      connect failed {r['connect_failed']}, sender {r['trouble']}, corrupt bytes {r['skipped']}, "
          f"misrouted {r['misrouted']}, duplicates {r['duplicates']}, pty read errors {r['read_errors']}")
    print(f"  latency     one-way p50 {r['p50']:.3f} ms, p99 {r['p99']:.3f} ms, max {r['max']:.3f} ms")
    if "started" in r:
        print(f"  memory      started RSS {r['started']['rss']:.1f} MB")
    i, p = r["idle"], r["peak"]
    print(f"  memory      idle (all connected) RSS {i['rss']:.1f} MB, PSS {i['pss']:.1f} MB, {i['threads']} threads; "
          f"sending: peak RSS {p['rss']:.1f} MB sampled, VmHWM {p['hwm']:.1f} MB, peak PSS {p['pss']:.1f} MB")
    print(f"  cpu         {r['cpu_s']:.2f} s over {r['wall_s']:.1f} s = {r['cpu_s'] / r['wall_s']:.3f} cores "
          f"(this script's devices and serial side: {r['bench_cpu_s']:.2f} s); "
          f"{r['switches'] / max(1, sent):.1f} context switches per record")
    for line in r["problems"][:5]:
        print(f"  stderr      {line}")
    if len(r["problems"]) > 5:
        print(f"  stderr      ... {len(r['problems']) - 5} more lines")


def argument_parser(doc):
    """A script's argument parser with its --bin option: the repository's build/bin unless told."""
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=doc.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin", default=os.path.normpath(os.path.join(here, "..", "..", "build", "bin")),
                    help="directory with vantreld and English.so (default: the repository's build/bin)")
    return ap


def main():
    ap = argument_parser(__doc__)
    ap.add_argument("--devices", type=int, nargs="+", default=[1000, 10000],
                    help="device counts for vantreld, one run each (default 1000 10000)")
    ap.add_argument("--per-port", type=int, default=100, help="devices per pty for vantreld (default 100)")
    ap.add_argument("--socat-devices", type=int, default=1000, help="socat processes, one per device; 0: none")
    ap.add_argument("--seconds", type=float, default=60, help="sending time (default 60)")
    ap.add_argument("--period", type=float, default=1.0, help="seconds between one device's records (default 1)")
    ap.add_argument("--drain", type=float, default=15, help="seconds to wait for stragglers after sending")
    ap.add_argument("--settle", type=float, default=3, help="seconds idle before the idle memory is read")
    ap.add_argument("--keep", action="store_true", help="keep vantreld's application directory (its logs)")
    args = ap.parse_args()
    if not all(0 < d < 1 << 20 for d in args.devices) or not 0 <= args.socat_devices < 1 << 20:
        ap.error("device counts run from 1 to 1048575")
    if args.per_port < 1 or args.seconds <= 0 or args.period <= 0 or args.drain < 0 or args.settle < 0:
        ap.error("--per-port, --seconds and --period must be positive, --drain and --settle not negative")
    if args.seconds / args.period >= 1 << 21:
        ap.error("at most 2097151 records per device")
    if not os.access(os.path.join(args.bin, "vantreld"), os.X_OK):
        ap.error(f"no vantreld program in {args.bin} (build it: cmake --build build --target vantreld English)")
    if args.socat_devices and not shutil.which("socat"):
        ap.error("socat is not installed (apt install socat), or run with --socat-devices 0")
    with open("/proc/sys/kernel/pty/max") as f:
        pty_max = int(f.read())
    if max(math.ceil(d / args.per_port) for d in args.devices) > pty_max // 2 or args.socat_devices > pty_max // 2:
        ap.error(f"this system allows {pty_max} ptys (/proc/sys/kernel/pty/max), shared with other programs")

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = max(args.devices + [args.socat_devices * 3]) + 1000
    if hard < need:
        sys.exit(f"the open-file limit is {hard}; {need} are needed (ulimit -Hn)")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    with open("/proc/loadavg") as f:
        print(f"load average at start: {' '.join(f.read().split()[:3])}; {os.cpu_count()} cpus")
    results = [run_vantreld(args, d) for d in args.devices]
    if args.socat_devices:
        results.append(run_socat(args, args.socat_devices))
    for r in results:
        report(r, args)
    with open("/proc/loadavg") as f:
        print(f"\nload average at the end: {' '.join(f.read().split()[:3])}")


if __name__ == "__main__":
    main()
