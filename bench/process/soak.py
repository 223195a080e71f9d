#!/usr/bin/python3
"""A long run of vantreld as a process with many devices and the churn of a real site: does it
lose nothing, and do its memory, descriptors and threads stay put?

DEVICES devices (PER_PORT a pty, each pty a tunnel port) each send a tagged 16-byte record
every PERIOD seconds for MINUTES minutes, while:
- every RECONNECT_EVERY seconds a share of the devices (RECONNECT_SHARE) reconnects with the
  same ID right after its next record;
- every VANISH_EVERY seconds the first port vanishes for VANISH_FOR seconds, as an unplugged
  adapter does: the port stops taking bytes, the serial side reads what it took, closes both
  ends of the pty and points the port's link at nothing; then a new pty takes its place;
- one more device floods a port of its own that nobody reads (FLOOD_RATE bytes a second,
  slowed by what the socket takes);
- every RELOAD_EVERY seconds `vantreld reload`;
- every SAMPLE_EVERY seconds `vantreld status --json` and GET /metrics are read, with the
  process's RSS, descriptors, threads and processor time, into a CSV file.

At the end every record is accounted for per device: delivered to its port, stored in
NotTransData (read from Info.db after the service has stopped), duplicated or missing. It
passes when delivered + stored = sent for every device (the flooding one too), RSS grows by
less than 5 % from the first sixth of the run to its last minute, and the descriptors and
threads sampled just before each reconnect round equal those before the first. Exits 0 when
it passes, 1 when a criterion fails, 2 when the run itself failed.

usage: /usr/bin/python3 soak.py [--bin DIR] [--devices N] [--minutes M] [--out DIR] ...   (--help for all;
       a check of the script: --devices 1000 --minutes 3 --vanish-every 60 --reload-every 60)"""
import array, csv, json, multiprocessing, os, random, resource, select, shutil, sqlite3, subprocess, sys
import tempfile, termios, time, tty, urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # no compiled copies of the imported benches in the source tree
import scale_bench as sb  # noqa: E402  (records, ptys, application directory, /proc readings)
import churn_bench as cb  # noqa: E402  (devices that reconnect, NotTransData decoding, accounting)

NS = sb.NS
RECORD = sb.RECORD
MARK = bytes([sb.MARK])
FLOOD_PENDING = 64 * 1024   # the flooding device makes no new records while this much waits
FLOOD_MAX_RECORDS = 1 << 21  # the record's sequence field
VANISH_AT = 5                # seconds into a vanish period
RELOAD_AT = 40               # seconds into a reload period
QUIET_S = 3.0                # the drain ends once nothing moved for this long


# ---- the schedule

def schedule(args):
    """(seconds from the start, what, detail) of the port vanishing and returning and the reloads."""
    total = args.minutes * 60
    events = []
    t = args.vanish_every
    while t + VANISH_AT + args.vanish_for < total:
        events += [(t + VANISH_AT, "vanish", 0), (t + VANISH_AT + args.vanish_for, "return", 0)]
        t += args.vanish_every
    # Half a period in, so that the first reload's one-off allocations come before the RSS
    # reading at a sixth of the run.
    t = args.reload_every / 2
    while t + RELOAD_AT < total:
        events.append((t + RELOAD_AT, "reload", None))
        t += args.reload_every
    return sorted(events, key=lambda e: e[0])


def reconnect_plan(args, devices, count):
    """cb.devices_main's plan: for each record number, the devices that reconnect after it. The
    first record of each reconnect period carries that period's share."""
    rng = random.Random(args.seed)
    per_round = round(devices * args.reconnect_share)
    plan = [frozenset()] * count
    every = max(1, round(args.reconnect_every / args.period))
    for k in range(every, count, every):
        plan[k] = frozenset(rng.sample(range(devices), per_round))
    return plan


# ---- the children

def closing(fds, work, *args):
    """Runs work(*args) without the pty descriptors it inherited: a vanishing port's pty must
    close for good when the serial side closes it."""
    for fd in fds:
        os.close(fd)
    work(*args)


def complete(buf):
    """Bytes at the front of `buf` made of whole records (or of bytes no record can start)."""
    last = buf.rfind(MARK)
    if last < 0 or len(buf) - last >= RECORD:
        return len(buf)
    return last


def drain_fd(fd):
    data = bytearray()
    while True:
        try:
            chunk = os.read(fd, 65536)
        except (BlockingIOError, OSError):
            return data
        if not chunk:
            return data
        data += chunk


def relink(link, target, scratch):
    """Points `link` at `target` in one step (the service never sees the port missing, which
    would make it try /dev/ttyS<n-1>)."""
    temporary = os.path.join(scratch, "link.new")
    if os.path.lexists(temporary):
        os.unlink(temporary)
    os.symlink(target, temporary)
    os.replace(temporary, link)


def serial_main(conn, ports, flood, per_port, devices, count, work):
    """The serial side: reads every port but the flooding device's, decoding as it goes; vanishes
    and brings back ports when told. Answers "progress" with the records so far; "finish" reads
    what is left (the flooding device's port too), decodes and reports."""
    ep = select.epoll()
    owner = {}
    for p, (master, _) in enumerate(ports):
        ep.register(master, select.EPOLLIN)
        owner[master] = p
    ep.register(conn.fileno(), select.EPOLLIN)
    pending = [bytearray() for _ in ports]
    seen = bytearray(devices * count)
    latencies = array.array("q")
    totals = {"records": 0, "skipped": 0, "misrouted": 0, "read_errors": 0, "vanished": 0, "returned": 0}

    def take(p, final):
        buf = pending[p]
        cut = len(buf) if final else complete(buf)
        if cut:
            r, s, m = sb.decode_port(p, bytes(buf[:cut]), array.array("q", [cut]),
                                     array.array("q", [time.monotonic_ns()]), per_port, count, seen, latencies)
            totals["records"] += r; totals["skipped"] += s; totals["misrouted"] += m
            del buf[:cut]

    def vanish(p):
        master, slave = ports[p]
        # The port stops taking bytes, so what it took is all on its way to the master.
        termios.tcflow(slave, termios.TCOOFF)
        time.sleep(0.2)
        pending[p] += drain_fd(master)
        take(p, False)
        ep.unregister(master)
        del owner[master]
        os.close(master); os.close(slave)
        relink(f"{work}/ports/COM{p + 1}", f"{work}/gone/COM{p + 1}", work)
        ports[p] = None
        totals["vanished"] += 1

    def come_back(p):
        master, slave = os.openpty()
        tty.setraw(master); tty.setraw(slave)
        os.set_blocking(master, False)
        ports[p] = (master, slave)
        owner[master] = p
        ep.register(master, select.EPOLLIN)
        relink(f"{work}/ports/COM{p + 1}", os.ttyname(slave), work)
        totals["returned"] += 1

    while True:
        for fd, _ in ep.poll(0.5):
            if fd == conn.fileno():
                command = conn.recv()
                if command[0] == "vanish":
                    vanish(command[1])
                elif command[0] == "return":
                    come_back(command[1])
                elif command[0] == "progress":
                    conn.send(totals["records"])
                elif command[0] == "finish":
                    return serial_finish(conn, ports, flood, pending, take, seen, latencies, totals, command[1])
                continue
            if fd not in owner:
                continue
            try:
                chunk = os.read(fd, 65536)
            except BlockingIOError:
                continue
            except OSError:
                # Only this side holds the slave open, so an error is the service closing its
                # end for a moment; the master stays usable.
                totals["read_errors"] += 1
                continue
            p = owner[fd]
            pending[p] += chunk
            take(p, False)


def serial_finish(conn, ports, flood, pending, take, seen, latencies, totals, flood_count):
    for p, ends in enumerate(ports):
        if ends is not None:
            pending[p] += drain_fd(ends[0])
        take(p, True)
    flood_data = bytes(drain_fd(flood[0]))
    flood_seen = bytearray(flood_count)
    r, s, m = sb.decode_port(0, flood_data, array.array("q", [len(flood_data)]), array.array("q", [0]), 1,
                             flood_count, flood_seen, array.array("q"))
    lat = sorted(latencies)
    pick = lambda q: lat[min(len(lat) - 1, int(len(lat) * q))] / 1e6 if lat else float("nan")
    conn.send({**totals, "seen": seen, "p50": pick(0.5), "p99": pick(0.99), "max": lat[-1] / 1e6 if lat else 0.0,
               "flood_seen": flood_seen, "flood_records": r, "flood_skipped": s, "flood_misrouted": m})


def flood_main(conn, port, index, rate):
    """One device (ID index + 1) sending records of device 0 as fast as its socket takes them, at
    most `rate` bytes a second, until told to stop; reports which records went out whole."""
    sent = bytearray(FLOOD_MAX_RECORDS)
    trouble = {"reconnects": 0, "reconnects failed": 0, "errors": 0, "blocked": 0, "cut": 0}
    sock = cb.connect(port, index)
    conn.send(("connected", sock is not None))
    if sock is None or not conn.poll(600):
        return
    conn.recv()
    started = time.monotonic()
    made = 0              # records made
    pending = bytearray()
    first = 0             # the record pending starts with
    partial = 0           # bytes of it already sent
    stopping = False
    while True:
        if not stopping and conn.poll(0.05):
            conn.recv()
            stopping = True
            stop_by = time.monotonic() + 10
            # Only the rest of a record already begun still goes out.
            del pending[RECORD - partial if partial else 0:]
        if stopping and (not pending or time.monotonic() > stop_by):
            break
        if not stopping:
            due = min(FLOOD_MAX_RECORDS, int((time.monotonic() - started) * rate / RECORD))
            while made < due and len(pending) < FLOOD_PENDING:
                pending += sb.encode(0, made, time.monotonic_ns())
                made += 1
        if sock is None:
            trouble["reconnects"] += 1
            sock = cb.connect(port, index)
            if sock is None:
                trouble["reconnects failed"] += 1
                continue
        if not pending:
            if stopping:
                break
            continue
        try:
            n = sock.send(pending)
        except BlockingIOError:
            trouble["blocked"] += 1
            time.sleep(0.01)
            continue
        except OSError:
            # What was cut off is lost with the connection; the next record starts the new one.
            trouble["errors"] += 1
            trouble["cut"] += partial > 0
            drop = RECORD - partial if partial else 0
            del pending[:drop]
            first += 1 if partial else 0
            partial = 0
            sock.close()
            sock = None
            continue
        done = (partial + n) // RECORD
        for k in range(first, first + done):
            sent[k] = 1
        first += done
        partial = (partial + n) % RECORD
        del pending[:n]
        if stopping:
            time.sleep(0.01)
    conn.send(("sent", bytes(sent[:first]), trouble, sock.getsockname()[1] if sock is not None else 0))
    conn.poll(600)
    if sock is not None:
        sock.close()


# ---- readings

def tcp_queues(local_port):
    """(send queue, receive queue) of the loopback socket with that local port, both ends summed
    with the peer whose remote port it is; (0, 0) when gone."""
    tx = rx = 0
    for path in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(path) as f:
                next(f)
                for line in f:
                    cols = line.split()
                    here = int(cols[1].split(":")[1], 16)
                    there = int(cols[2].split(":")[1], 16)
                    if local_port in (here, there):
                        t, r = cols[4].split(":")
                        tx += int(t, 16); rx += int(r, 16)
        except FileNotFoundError:
            pass
    return tx, rx


def descriptors(pid):
    """(all open descriptors, those on a terminal)."""
    total = ttys = 0
    try:
        names = os.listdir(f"/proc/{pid}/fd")
    except FileNotFoundError:
        return 0, 0
    for name in names:
        total += 1
        try:
            target = os.readlink(f"/proc/{pid}/fd/{name}")
        except OSError:
            continue
        ttys += target.startswith("/dev/pts/") or target == "/dev/ptmx"
    return total, ttys


def status_json(bin_dir, env):
    started = time.monotonic()
    done = subprocess.run([os.path.join(bin_dir, "vantreld"), "status", "--json"], env=env, capture_output=True,
                          timeout=60)
    if done.returncode != 0:
        raise RuntimeError(f"vantreld status --json exited {done.returncode}: {done.stderr.decode()[:200]}")
    return json.loads(done.stdout), time.monotonic() - started


def metrics(port):
    """The metrics page as {name or name{labels}: value}, and the seconds it took."""
    started = time.monotonic()
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=30) as answer:
        text = answer.read().decode()
    values = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, _, value = line.rpartition(" ")
            values[name] = float(value)
    return values, time.monotonic() - started


def family_sum(values, name):
    return sum(v for k, v in values.items() if k == name or k.startswith(name + "{"))


COLUMNS = ["t_s", "rss_mb", "fds", "tty_fds", "threads", "cpu_s", "cpu_pct", "connected", "queued_status",
           "queues", "store_bytes", "failed_ports", "queued_metrics", "stored_total", "to_port_bytes",
           "delivered", "status_s", "metrics_s", "events"]


class Sampler:
    """One CSV row every SAMPLE_EVERY seconds."""

    def __init__(self, path, pid, bin_dir, env, metrics_port):
        self.file = open(path, "w", newline="")
        self.out = csv.writer(self.file)
        self.out.writerow(COLUMNS)
        self.pid, self.bin, self.env, self.metrics_port = pid, bin_dir, env, metrics_port
        self.rows = []
        self.last_cpu = self.last_t = None
        self.events = []

    def sample(self, t, delivered):
        rss = sb.proc_status(self.pid)
        fds, ttys = descriptors(self.pid)
        cpu_s = sb.proc_cpu_s(self.pid)
        status, status_s = status_json(self.bin, self.env)
        page, metrics_s = metrics(self.metrics_port)
        pct = 100.0 * (cpu_s - self.last_cpu) / (t - self.last_t) if self.last_t is not None and t > self.last_t else 0.0
        self.last_cpu, self.last_t = cpu_s, t
        queues = status.get("queues", {})
        row = {"t_s": round(t, 1), "rss_mb": round(rss["VmRSS"] / 1024, 2), "fds": fds, "tty_fds": ttys,
               "threads": rss["Threads"], "cpu_s": round(cpu_s, 2), "cpu_pct": round(pct, 1),
               "connected": status.get("connected"), "queued_status": sum(queues.values()),
               "queues": " ".join(f"{k}={v}" for k, v in sorted(queues.items())),
               "store_bytes": (status.get("store") or {}).get("bytes"),
               "failed_ports": " ".join(p["name"] for p in status.get("ports", []) if p.get("state") != "open"),
               "queued_metrics": int(family_sum(page, "vantrel_queue_records")),
               "stored_total": int(family_sum(page, "vantrel_records_stored_total")),
               "to_port_bytes": int(page.get('vantrel_bytes_total{direction="to_port"}', 0)),
               "delivered": delivered, "status_s": round(status_s, 3), "metrics_s": round(metrics_s, 3),
               "events": " ".join(self.events)}
        self.events = []
        self.rows.append(row)
        self.out.writerow([row[c] for c in COLUMNS])
        self.file.flush()
        return row

    def close(self):
        self.file.close()


# ---- the run

def add_flood_port(work, ends, index):
    """A pty and a tunnel of its own for the flooding device (ID index + 1); returns its ends."""
    flood = sb.open_ptys(1)
    ends.extend(flood)
    n = len(ends)
    os.symlink(flood[0][2], f"{work}/ports/COM{n}")
    db = sqlite3.connect(work + "/Info.db")
    db.execute("insert into TunnelInfo values (?, ?, 9600, 8, '1', 'None', '')", ("%08X" % (index + 1), f"COM{n}"))
    db.commit(); db.close()
    return flood[0], n


def settings_metrics(bin_dir, env, avoid):
    port = next(p for p in sb.free_ports(2) if p != avoid)
    subprocess.run([os.path.join(bin_dir, "vantreld"), "settings", "set", "--metrics", f"127.0.0.1:{port}"],
                   env=env, check=True, capture_output=True)
    return port


def run(args, out_dir):
    devices, per_port = args.devices, args.per_port
    count = round(args.minutes * 60 / args.period)
    plan = reconnect_plan(args, devices, count)
    events = schedule(args)
    work = tempfile.mkdtemp(prefix="vantrel-soak-")
    os.makedirs(work + "/gone")
    ends = []
    proc = None
    children = []
    r = {"work": work, "count": count, "plan": plan, "reloads": [], "events": events}
    try:
        env, port, ends = sb.vantreld_setup(args.bin, work, devices, per_port)
        flood_ends, flood_port_number = add_flood_port(work, ends, devices)
        r["flood_port"] = f"COM{flood_port_number}"
        metrics_port = settings_metrics(args.bin, env, port)
        proc = sb.vantreld_start(args.bin, work, env, port)
        print(f"vantreld: pid {proc.pid}, application directory {work}, metrics on 127.0.0.1:{metrics_port}",
              flush=True)

        fds = [fd for master, slave, _ in ends for fd in (master, slave)]
        ctx = multiprocessing.get_context("fork")
        serial_conn, serial_child = ctx.Pipe()
        dev_conn, dev_child = ctx.Pipe()
        flood_conn, flood_child = ctx.Pipe()
        cb.PERIOD_S = args.period
        read_ports = [(m, s) for m, s, _ in ends[:-1]]
        children = [
            ctx.Process(target=serial_main, args=(serial_child, read_ports, flood_ends[:2], per_port, devices, count,
                                                  work)),
            ctx.Process(target=closing, args=(fds, cb.devices_main, dev_child, port, devices, count, plan)),
            ctx.Process(target=closing, args=(fds, flood_main, flood_child, port, devices, args.flood_rate)),
        ]
        for child in children:
            child.start()
        sb.close_ptys(ends)
        ends = []

        if not dev_conn.poll(60 + devices / 20) or not flood_conn.poll(60):
            raise RuntimeError("the devices did not connect in time")
        _, r["connect_failed"] = dev_conn.recv()
        _, flood_ok = flood_conn.recv()
        if not flood_ok:
            raise RuntimeError("the flooding device could not connect")
        sb.vantreld_wait_registered(proc, work, devices + 1 - r["connect_failed"])

        sampler = Sampler(os.path.join(out_dir, "soak.csv"), proc.pid, args.bin, env, metrics_port)
        r["sampler"] = sampler
        start = time.monotonic() + 0.5
        dev_conn.send(("go", time.monotonic_ns() + NS // 2))
        flood_conn.send("go")
        total = args.minutes * 60
        next_sample = args.sample_every / 2
        pending = list(events)

        def progress():
            serial_conn.send(("progress",))
            if not serial_conn.poll(60):
                raise RuntimeError("the serial side did not answer")
            return serial_conn.recv()

        while True:
            now = time.monotonic() - start
            if proc.poll() is not None:
                raise RuntimeError(f"vantreld ended ({proc.returncode}) {now:.0f} s into the run; see {work}")
            if pending and pending[0][0] <= now:
                at, what, detail = pending.pop(0)
                sampler.events.append(what)
                if what == "reload":
                    t0 = time.monotonic()
                    done = subprocess.run([os.path.join(args.bin, "vantreld"), "reload"], env=env,
                                          capture_output=True, timeout=120)
                    r["reloads"].append((round(at), done.returncode, round(time.monotonic() - t0, 2),
                                         done.stderr.decode().strip()[:200]))
                else:
                    serial_conn.send((what, detail))
                print(f"{now:7.1f} s  {what}", flush=True)
                continue
            if next_sample <= now:
                row = sampler.sample(now, progress())
                next_sample += args.sample_every
                if now >= total:
                    break
                print(f"{now:7.1f} s  RSS {row['rss_mb']} MB, {row['fds']} fds, {row['threads']} threads, "
                      f"CPU {row['cpu_pct']} %, queued {row['queued_status']}, failed ports [{row['failed_ports']}]",
                      flush=True)
                continue
            wake = min([next_sample] + [e[0] for e in pending[:1]])
            time.sleep(max(0.0, min(1.0, wake - now)))

        # The end: the devices have sent their last records; wait until everything has settled.
        flood_conn.send("stop")
        if not dev_conn.poll(120) or not flood_conn.poll(60):
            raise RuntimeError("the devices did not finish sending in time")
        _, r["sent"], r["last_before"], r["trouble"] = dev_conn.recv()
        _, r["flood_sent"], r["flood_trouble"], flood_local = flood_conn.recv()
        r["drain_s"] = drain(args, proc, env, progress, flood_local)
        dev_conn.send("close")
        flood_conn.send("close")
        sampler.sample(time.monotonic() - start, progress())
        sampler.close()
        sb.vantreld_stop(proc)
        r["exit"] = proc.returncode
        proc = None
        serial_conn.send(("finish", len(r["flood_sent"])))
        if not serial_conn.poll(300):
            raise RuntimeError("the serial side did not report in time")
        r["port"] = serial_conn.recv()
        r["stored"] = cb.stored_messages(work + "/Info.db", devices, count)
        r["flood_stored"] = flood_stored(work + "/Info.db", devices, len(r["flood_sent"]))
        r["registrations"] = sb.vantreld_registered(work)
        with open(work + "/vantreld.err") as err:
            r["problems"] = err.read().splitlines()
        return r
    finally:
        for child in children:
            child.join(10)
            if child.is_alive():
                child.kill(); child.join(5)
        if proc is not None:
            sb.vantreld_stop(proc)
        sb.close_ptys(ends)
        if args.keep:
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


def drain(args, proc, env, progress, flood_local):
    """Waits (at most --drain seconds) until the service's queues are empty, the flooding
    device's connection holds nothing and the ports have had nothing new for QUIET_S."""
    started = time.monotonic()
    last, still_since = None, time.monotonic()
    while time.monotonic() - started < args.drain:
        status, _ = status_json(args.bin, env)
        state = (progress(), sum(status.get("queues", {}).values()), (status.get("store") or {}).get("bytes"),
                 tcp_queues(flood_local) if flood_local else (0, 0))
        if state != last:
            last, still_since = state, time.monotonic()
        elif state[1] == 0 and state[3] == (0, 0) and time.monotonic() - still_since >= QUIET_S:
            break
        time.sleep(0.5)
    return time.monotonic() - started


def flood_stored(db_path, devices, flood_count):
    """The flooding device's NotTransData rows, joined in the order stored and decoded."""
    db = sqlite3.connect(db_path)
    try:
        data = b"".join(bytes(row[0]) for row in db.execute(
            "select ReceiveData from NotTransData where DeviceID = ? order by rowid", ("%08X" % (devices + 1),)))
    finally:
        db.close()
    seen = bytearray(flood_count)
    r, s, m = sb.decode_port(0, data, array.array("q", [len(data)]), array.array("q", [0]), 1, flood_count, seen,
                             array.array("q"))
    return seen, r, s, m


# ---- verdict

def per_device(r, devices, count):
    """Devices whose delivered + stored differs from sent (a record missing, twice, or unsent)."""
    sent, port, store = r["sent"], r["port"]["seen"], r["stored"][0]
    bad = []
    for d in range(devices):
        lo, hi = d * count, (d + 1) * count
        n_sent = sum(sent[lo:hi])
        delivered = sum(1 for m in range(lo, hi) if port[m] == 1 and not store[m])
        stored = sum(1 for m in range(lo, hi) if store[m] == 1 and not port[m])
        if delivered + stored != n_sent or any(port[m] + store[m] > 1 for m in range(lo, hi)):
            bad.append(("%08X" % (d + 1), n_sent, delivered, stored))
    return bad


def flood_account(r):
    sent, port, store = r["flood_sent"], r["port"]["flood_seen"], r["flood_stored"][0]
    a = {"sent": sum(sent), "delivered": 0, "stored": 0, "missing": 0, "duplicated": 0, "arrived unsent": 0}
    for k, s in enumerate(sent):
        copies = port[k] + store[k]
        if not s:
            a["arrived unsent"] += copies > 0
        elif copies == 0:
            a["missing"] += 1
        elif copies > 1:
            a["duplicated"] += 1
        elif port[k]:
            a["delivered"] += 1
        else:
            a["stored"] += 1
    return a


def settled(rows, args):
    """The last sample before each reconnect round (and before the end): (round start, row)."""
    total = args.minutes * 60
    marks = []
    t = args.reconnect_every
    while t <= total:
        marks.append(t)
        t += args.reconnect_every
    out = []
    for mark in marks:
        before = [row for row in rows if row["t_s"] < mark]
        if before and (not out or before[-1] is not out[-1][1]):
            out.append((mark, before[-1]))
    return out


def rss_growth(rows, args):
    """Mean RSS in the minute from a sixth of the run and in its last minute, and the growth."""
    total = args.minutes * 60
    early = [row["rss_mb"] for row in rows if total / 6 <= row["t_s"] < total / 6 + 60]
    late = [row["rss_mb"] for row in rows if total - 60 <= row["t_s"] < total]
    if not early or not late:
        return None
    e, l = sum(early) / len(early), sum(late) / len(late)
    return e, l, 100.0 * (l - e) / e


def minutes_table(rows):
    """Per minute: the last sample's RSS, descriptors and threads, and the mean CPU of the minute."""
    table = {}
    for row in rows:
        table.setdefault(int(row["t_s"] // 60), []).append(row)
    lines = []
    for minute, group in sorted(table.items()):
        last = group[-1]
        cpu = sum(row["cpu_pct"] for row in group) / len(group)
        lines.append((minute, last["rss_mb"], last["fds"], last["threads"], round(cpu, 1),
                      max(row["queued_status"] for row in group), last["store_bytes"], last["stored_total"]))
    return lines


def plot(rows, path, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    t = [row["t_s"] / 60 for row in rows]
    panels = [("RSS (MB)", "rss_mb"), ("descriptors", "fds"), ("threads", "threads"), ("CPU (% of a core)", "cpu_pct"),
              ("records queued", "queued_status")]
    fig, axes = plt.subplots(len(panels), 1, figsize=(7, 8), sharex=True)
    for ax, (label, key) in zip(axes, panels):
        ax.plot(t, [row[key] or 0 for row in rows], lw=0.8)
        ax.set_ylabel(label, fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(alpha=0.3)
    axes[0].set_title(title, fontsize=9)
    axes[-1].set_xlabel("minutes", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=72)
    plt.close(fig)


def verdict(r, args):
    devices, count = args.devices, r["count"]
    rows = r["sampler"].rows
    a, examples = cb.account(r, devices, count)
    bad = per_device(r, devices, count)
    fa = flood_account(r)
    t, p = r["trouble"], r["port"]
    print(f"\n{devices} devices on {devices // args.per_port} ptys, a 16-byte record every {args.period:g} s for "
          f"{args.minutes:g} min; {round(devices * args.reconnect_share)} reconnects every {args.reconnect_every:g} s; "
          f"port COM1 gone {args.vanish_for:g} s every {args.vanish_every:g} s; a reload every {args.reload_every:g} s; "
          f"one device flooding {r['flood_port']} at up to {args.flood_rate} B/s")
    print(f"  records         sent {a['sent']}, delivered {a['delivered']}, stored {a['stored']}, "
          f"missing {a['missing']} (of them the last before a reconnect {a['missing last']}), "
          f"duplicated {a['duplicated']}, arrived unsent {a['arrived unsent']}")
    print(f"  devices         {devices - len(bad)} of {devices} with delivered + stored = sent")
    for device_id, n_sent, delivered, stored in bad[:5]:
        print(f"    e.g. {device_id}: sent {n_sent}, delivered {delivered}, stored {stored}")
    for device_id, number, last in examples:
        print(f"    missing e.g. device {device_id} record {number}{', the last before a reconnect' if last else ''}")
    print(f"  flooding device sent {fa['sent']} records ({fa['sent'] * RECORD} B), delivered (left in the unread pty) "
          f"{fa['delivered']}, stored {fa['stored']}, missing {fa['missing']}, duplicated {fa['duplicated']}, "
          f"arrived unsent {fa['arrived unsent']}; {r['flood_trouble']}")
    print(f"  faults          connect failed {r['connect_failed']}, devices {t}; ports: corrupt bytes {p['skipped']}, "
          f"misrouted {p['misrouted']}, read errors {p['read_errors']}; store: corrupt bytes {r['stored'][2]}, "
          f"under another ID {r['stored'][3]}; flood: corrupt {p['flood_skipped']} + {r['flood_stored'][2]}")
    print(f"  latency         p50 {p['p50']:.1f} ms, p99 {p['p99']:.1f} ms, max {p['max']:.1f} ms; port vanished "
          f"{p['vanished']}, returned {p['returned']}; reloads {r['reloads']}")
    print(f"  vantreld        exit {r['exit']}, {r['registrations']} registrations, drain {r['drain_s']:.1f} s")
    for line in r["problems"][:5]:
        print(f"  stderr          {line}")
    if len(r["problems"]) > 5:
        print(f"  stderr          ... {len(r['problems']) - 5} more lines")

    print("\n  minute  RSS MB   fds  threads  CPU %  max queued  store bytes  stored total")
    for line in minutes_table(rows):
        print("  %6d %7.1f %5d %8d %6.1f %11d %12s %13d" % line)

    growth = rss_growth(rows, args)
    checks = settled(rows, args)
    # A failed port holds no descriptors or thread, so each set of failed ports has a base of its own.
    bases = {}
    off = []
    for mark, row in checks:
        base = bases.setdefault(row["failed_ports"], row)
        if (row["fds"], row["threads"]) != (base["fds"], base["threads"]):
            off.append((mark, row["failed_ports"], row["fds"], row["threads"], base["fds"], base["threads"]))
    base = checks[0][1] if checks else None
    counts_ok = not bad and fa["missing"] == fa["duplicated"] == fa["arrived unsent"] == 0
    rss_ok = growth is not None and growth[2] < 5.0
    base_ok = base is not None and not off
    print(f"\n  delivered + stored = sent for every device: {'pass' if counts_ok else 'FAIL'}")
    if growth:
        print(f"  RSS {growth[0]:.1f} MB (minute {args.minutes / 6:g}) -> {growth[1]:.1f} MB (last minute), "
              f"{growth[2]:+.2f} % (< 5 %): {'pass' if rss_ok else 'FAIL'}")
    else:
        print("  RSS: too few samples: FAIL")
    if base:
        print(f"  base {base['fds']} fds, {base['threads']} threads (failed ports [{base['failed_ports']}]), "
              f"{len(bases)} sets of failed ports; before {len(checks) - 1} later rounds "
              f"{'all the same as their base' if not off else f'{len(off)} differ, e.g. {off[:5]}'}: "
              f"{'pass' if base_ok else 'FAIL'}")
    return counts_ok and rss_ok and base_ok


def main():
    ap = sb.argument_parser(__doc__)
    ap.add_argument("--devices", type=int, default=10000, help="devices (default 10000)")
    ap.add_argument("--per-port", type=int, default=100, help="devices a pty (default 100; divides --devices)")
    ap.add_argument("--minutes", type=float, default=60, help="sending time in minutes (default 60)")
    ap.add_argument("--period", type=float, default=10, help="seconds between one device's records (default 10)")
    ap.add_argument("--reconnect-share", type=float, default=0.01, help="share reconnecting a round (default 0.01)")
    ap.add_argument("--reconnect-every", type=float, default=60, help="seconds between reconnect rounds (default 60)")
    ap.add_argument("--vanish-every", type=float, default=300, help="seconds between port losses (default 300)")
    ap.add_argument("--vanish-for", type=float, default=20, help="seconds a lost port stays away (default 20)")
    ap.add_argument("--reload-every", type=float, default=600, help="seconds between reloads (default 600)")
    ap.add_argument("--flood-rate", type=int, default=4096, help="the flooding device's bytes a second (default 4096)")
    ap.add_argument("--sample-every", type=float, default=10, help="seconds between samples (default 10)")
    ap.add_argument("--drain", type=float, default=180, help="longest wait for the end to settle (default 180 s)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the choice of reconnecting devices (default 1)")
    ap.add_argument("--out", default=".", help="directory for soak.csv and soak.png (default: here)")
    ap.add_argument("--keep", action="store_true", help="keep vantreld's application directory")
    args = ap.parse_args()
    if not 0 < args.devices < 1 << 20 or args.per_port < 1 or args.devices % args.per_port:
        ap.error("--devices from 1 to 1048575, divided by a positive --per-port")
    count = round(args.minutes * 60 / args.period)
    if not 0 < count < 1 << 21 or args.minutes * 60 < 2 * args.reconnect_every:
        ap.error("--minutes must give from 1 to 2097151 records and at least two reconnect rounds")
    if min(args.period, args.reconnect_every, args.vanish_every, args.vanish_for, args.reload_every,
           args.sample_every, args.flood_rate) <= 0 or not 0 <= args.reconnect_share <= 1:
        ap.error("periods, times and the flood rate must be positive, --reconnect-share from 0 to 1")
    if args.vanish_for + VANISH_AT >= args.vanish_every:
        ap.error("--vanish-for must end before the next loss")
    if not os.access(os.path.join(args.bin, "vantreld"), os.X_OK):
        ap.error(f"no vantreld program in {args.bin} (build it: cmake --build build --target vantreld English)")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = args.devices + 2 * args.devices // args.per_port + 1000
    if hard < need:
        sys.exit(f"the open-file limit is {hard}; {need} are needed (ulimit -Hn)")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    os.makedirs(args.out, exist_ok=True)
    with open("/proc/loadavg") as f:
        print(f"load average at start: {' '.join(f.read().split()[:3])}; {os.cpu_count()} cpus; vantreld from {args.bin}",
              flush=True)
    try:
        r = run(args, args.out)
    except (RuntimeError, OSError, subprocess.SubprocessError, json.JSONDecodeError) as e:
        print(f"the run failed: {e}", file=sys.stderr)
        return 2
    passed = verdict(r, args)
    plot(r["sampler"].rows, os.path.join(args.out, "soak.png"),
         f"vantreld, {args.devices} devices, {args.minutes:g} min with churn")
    with open("/proc/loadavg") as f:
        print(f"load average at the end: {' '.join(f.read().split()[:3])}")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
