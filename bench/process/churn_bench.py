#!/usr/bin/env python3
"""Devices that keep reconnecting, through vantreld as a process: does every message arrive
exactly once?

DEVICES devices on PORTS ptys (DEVICES / PORTS a pty, each pty a tunnel port) each send a
tagged 16-byte message every second; every second a share of them (RECONNECT_SHARE) closes its
connection right after that second's message and reconnects with the same ID (the last
message on the old connection, then the registration on a new one), the way units behind a
flaky mobile link do. At the end every message is accounted for: delivered to its port
exactly once, duplicated, stored as not forwarded (NotTransData, read after the service has
stopped), or missing, and for a missing one whether it was the last its device sent before a
reconnect. Exits 1 when a message is missing, 2 when the run itself failed (devices that could
not connect or send).

usage: churn_bench.py [--bin DIR] [--devices N] [--ports P] [--reconnect-share S] [--minutes M] [--seed X]
       (a try-out: --devices 200 --ports 4 --minutes 0.5)"""
import array, multiprocessing, os, random, resource, shutil, socket, sqlite3, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # no compiled copy of scale_bench in the source tree
import scale_bench as sb  # noqa: E402  (the records, ptys, application directory and serial side)

PERIOD_S = 1.0
DRAIN_S = 15.0  # how long the serial side waits for stragglers once the devices have sent everything
CONNECT_TIMEOUT_S = 10.0
NS = sb.NS


def reconnect_plan(devices, count, share, seed):
    """For each second, the devices that reconnect after that second's message."""
    rng = random.Random(seed)
    per_second = round(devices * share)
    return [frozenset(rng.sample(range(devices), per_second)) for _ in range(count)]


# ---- the devices (a child process)

def connect(port, index):
    """A registered connection of device `index` (ID index + 1), non-blocking; None when it failed."""
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=CONNECT_TIMEOUT_S)
    except OSError:
        return None
    try:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.sendall(sb.registration(index + 1))
        s.setblocking(False)
    except OSError:
        s.close()
        return None
    return s


def devices_main(conn, port, devices, count, plan):
    """Sends message k of device i at t0 + (k + i / devices) seconds. Reports per message
    whether it was sent whole, and whether it was the last sent on a connection this process
    then closed (for a planned reconnect, or after a failed send)."""
    socks = [connect(port, i) for i in range(devices)]
    conn.send(("connected", sum(1 for s in socks if s is None)))
    if not conn.poll(600):
        return
    what, t0 = conn.recv()
    if what != "go":
        return
    total = devices * count
    step = PERIOD_S * NS / devices
    sent = bytearray(total)
    last_before = bytearray(total)
    last_seq = [-1] * devices  # last message sent whole on the device's current connection
    trouble = {"no connection": 0, "blocked": 0, "partial": 0, "errors": 0, "reconnects": 0, "reconnects failed": 0}

    def drop(i):
        socks[i].close()
        socks[i] = None
        if last_seq[i] >= 0:
            last_before[i * count + last_seq[i]] = 1
        last_seq[i] = -1

    def reconnect(i):
        trouble["reconnects"] += 1
        socks[i] = connect(port, i)
        if socks[i] is None:
            trouble["reconnects failed"] += 1

    deadline = t0 + int((count * PERIOD_S + 60) * NS)
    j = 0
    while j < total:
        now = time.monotonic_ns()
        if now > deadline:
            break
        due = min(total, int((now - t0) / step) + 1) if now >= t0 else 0
        while j < due:
            k, i = divmod(j, devices)
            j += 1
            if socks[i] is None:
                reconnect(i)  # a connect or send failed earlier: one more try a message
                if socks[i] is None:
                    trouble["no connection"] += 1
                    continue
            try:
                w = socks[i].send(sb.encode(i, k, time.monotonic_ns()))
            except BlockingIOError:
                trouble["blocked"] += 1
                w = 0
            except OSError:
                trouble["errors"] += 1
                drop(i)
                continue
            if w == sb.RECORD:
                sent[i * count + k] = 1
                last_seq[i] = k
            elif w:
                # The rest would run into the next message; a fresh connection keeps them apart.
                trouble["partial"] += 1
                drop(i)
                continue
            if i in plan[k]:
                drop(i)
                reconnect(i)
        time.sleep(max(0.0005, (t0 + j * step - time.monotonic_ns()) / NS))
    conn.send(("sent", sent, last_before, trouble))
    conn.poll(600)
    for s in socks:
        if s is not None:
            s.close()


# ---- NotTransData

def stored_messages(db_path, devices, count):
    """Decodes NotTransData as the serial side decodes a port: each device's rows joined in the
    order they were stored. Returns (seen per message, records, corrupt bytes, records of another
    device, rows of unknown IDs)."""
    streams = {}
    foreign = 0
    db = sqlite3.connect(db_path)
    try:
        for device_id, data in db.execute("select DeviceID, ReceiveData from NotTransData order by rowid"):
            try:
                index = int(device_id, 16) - 1
            except (TypeError, ValueError):
                index = -1
            if not 0 <= index < devices or not isinstance(data, bytes):
                foreign += 1
                continue
            streams.setdefault(index, bytearray()).extend(data)
    finally:
        db.close()
    seen = bytearray(devices * count)
    records = corrupt = misplaced = 0
    for index, data in streams.items():
        r, skipped, misrouted = sb.decode_port(index, data, array.array("q", [len(data)]), array.array("q", [0]),
                                               1, count, seen, array.array("q"))
        records += r; corrupt += skipped; misplaced += misrouted
    return seen, records, corrupt, misplaced, foreign


# ---- one run

def run(args, count, plan):
    devices, per_port = args.devices, args.devices // args.ports
    work = tempfile.mkdtemp(prefix="vantrel-churn-")
    ends = []
    proc = sender = serial = None
    out = {}
    try:
        env, port, ends = sb.vantreld_setup(args.bin, work, devices, per_port)
        proc = sb.vantreld_start(args.bin, work, env, port)
        print(f"vantreld: pid {proc.pid}, application directory {work}", flush=True)
        ctx = multiprocessing.get_context("fork")
        serial_conn, serial_child = ctx.Pipe()
        dev_conn, dev_child = ctx.Pipe()
        run_s = count * PERIOD_S + DRAIN_S + devices / 50 + 600
        serial = ctx.Process(target=sb.serial_main,
                             args=(serial_child, [m for m, _, _ in ends], per_port, devices, count, run_s))
        sender = ctx.Process(target=devices_main, args=(dev_child, port, devices, count, plan))
        serial.start(); sender.start()

        if not dev_conn.poll(60 + devices / 20):
            raise RuntimeError("the devices did not connect in time")
        _, out["connect_failed"] = dev_conn.recv()
        sb.vantreld_wait_registered(proc, work, devices - out["connect_failed"])
        dev_conn.send(("go", time.monotonic_ns() + NS // 2))
        if not dev_conn.poll(count * PERIOD_S + 120):
            raise RuntimeError("the devices did not finish sending in time")
        _, out["sent"], out["last_before"], out["trouble"] = dev_conn.recv()
        serial_conn.send((sb.RECORD * sum(out["sent"]), DRAIN_S))
        if not serial_conn.poll(DRAIN_S + 30):
            raise RuntimeError("the serial side did not stop in time")
        serial_conn.recv()
        if not serial_conn.poll(120 + devices * count / 10000):
            raise RuntimeError("the serial side did not report in time")
        out["port"] = serial_conn.recv()
        dev_conn.send("close")
        sb.vantreld_stop(proc)
        out["exit"] = proc.returncode
        proc = None
        out["stored"] = stored_messages(work + "/Info.db", devices, count)
        out["registrations"] = sb.vantreld_registered(work)
        with open(work + "/vantreld.out") as log:
            out["replaced"] = sum(1 for line in log if "replaced by a newer connection" in line)
        with open(work + "/vantreld.err") as err:
            out["problems"] = err.read().splitlines()
        return out
    finally:
        for child in (sender, serial):
            if child is not None:
                child.join(10)
                if child.is_alive():
                    child.kill(); child.join(5)
        if proc is not None:
            sb.vantreld_stop(proc)
        sb.close_ptys(ends)
        shutil.rmtree(work, ignore_errors=True)


def account(r, devices, count):
    """Every message's fate, and up to five missing ones as (device ID, message number, last before a reconnect)."""
    sent, last_before, at_port, in_store = r["sent"], r["last_before"], r["port"]["seen"], r["stored"][0]
    a = {"sent": 0, "delivered": 0, "duplicated": 0, "stored": 0, "missing": 0, "missing last": 0,
         "arrived unsent": 0, "last before reconnect": 0}
    examples = []
    for m in range(devices * count):
        copies = at_port[m] + in_store[m]
        if not sent[m]:
            a["arrived unsent"] += copies > 0
            continue
        a["sent"] += 1
        a["last before reconnect"] += last_before[m]
        if copies == 0:
            a["missing"] += 1
            a["missing last"] += last_before[m]
            if len(examples) < 5:
                examples.append(("%08X" % (m // count + 1), m % count, bool(last_before[m])))
        elif copies > 1:
            a["duplicated"] += 1
        elif at_port[m]:
            a["delivered"] += 1
        else:
            a["stored"] += 1
    return a, examples


def report(r, a, examples, args, count, plan):
    t, p = r["trouble"], r["port"]
    planned = sum(len(s) for s in plan)
    per_second = len(plan[0]) if plan else 0
    share = lambda n: f"{100.0 * n / max(1, a['sent']):.3f} %"
    print(f"\n{args.devices} devices on {args.ports} ptys ({args.devices // args.ports} a pty), a 16-byte message "
          f"a second each for {count} s; {per_second} reconnects a second ({100 * args.reconnect_share:g} %), "
          f"seed {args.seed}")
    rows = [("sent", a["sent"], ""),
            ("delivered once", a["delivered"], share(a["delivered"])),
            ("duplicated", a["duplicated"], share(a["duplicated"])),
            ("stored (NotTransData)", a["stored"], share(a["stored"])),
            ("missing", a["missing"], share(a["missing"])),
            ("  last before a reconnect", a["missing last"],
             f"of {a['last before reconnect']} such messages"),
            ("  other", a["missing"] - a["missing last"], "")]
    print(f"  {'messages':<28}{'count':>10}")
    for label, n, note in rows:
        print(f"  {label:<28}{n:>10}  {note}")
    print(f"  reconnects      {t['reconnects']} ({planned} planned, {t['reconnects failed']} failed); "
          f"vantreld reported {r['registrations']} registrations ({args.devices - r['connect_failed']} "
          f"+ {t['reconnects'] - t['reconnects failed']} expected) and {r['replaced']} replaced connections")
    print(f"  faults          connect failed {r['connect_failed']}, not sent: no connection {t['no connection']}, "
          f"blocked {t['blocked']}, partial {t['partial']}, errors {t['errors']}; at the ports: corrupt bytes "
          f"{p['skipped']}, misrouted {p['misrouted']}, read errors {p['read_errors']}, arrived unsent "
          f"{a['arrived unsent']}; stored: {r['stored'][1]} records, corrupt bytes {r['stored'][2]}, "
          f"under another ID {r['stored'][3]}, rows of unknown IDs {r['stored'][4]}; vantreld exit {r['exit']}")
    for device_id, number, last in examples:
        print(f"  missing e.g.    device {device_id} message {number}"
              f"{', the last before a reconnect' if last else ''}")
    for line in r["problems"][:5]:
        print(f"  stderr          {line}")
    if len(r["problems"]) > 5:
        print(f"  stderr          ... {len(r['problems']) - 5} more lines")


def main():
    ap = sb.argument_parser(__doc__)
    ap.add_argument("--devices", type=int, default=2000, help="devices (default 2000)")
    ap.add_argument("--ports", type=int, default=20, help="ptys, each the tunnel port of DEVICES / PORTS devices (default 20)")
    ap.add_argument("--reconnect-share", type=float, default=0.02,
                    help="share of the devices that reconnect every second (default 0.02)")
    ap.add_argument("--minutes", type=float, default=3, help="sending time in minutes (default 3)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the choice of reconnecting devices (default 1)")
    args = ap.parse_args()
    if not 0 < args.devices < 1 << 20:
        ap.error("--devices runs from 1 to 1048575")
    if args.ports < 1 or args.devices % args.ports:
        ap.error("--ports must be positive and divide --devices")
    if not 0 <= args.reconnect_share <= 1:
        ap.error("--reconnect-share runs from 0 to 1")
    count = round(args.minutes * 60 / PERIOD_S)
    if not 0 < count < 1 << 21:
        ap.error("--minutes must give from 1 to 2097151 seconds")
    if not os.access(os.path.join(args.bin, "vantreld"), os.X_OK):
        ap.error(f"no vantreld program in {args.bin} (build it: cmake --build build --target vantreld English)")
    with open("/proc/sys/kernel/pty/max") as f:
        if args.ports > int(f.read()) // 2:
            ap.error("more ptys than this system allows (/proc/sys/kernel/pty/max), shared with other programs")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = args.devices + 2 * args.ports + 1000
    if hard < need:
        sys.exit(f"the open-file limit is {hard}; {need} are needed (ulimit -Hn)")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    plan = reconnect_plan(args.devices, count, args.reconnect_share, args.seed)
    with open("/proc/loadavg") as f:
        print(f"load average at start: {' '.join(f.read().split()[:3])}; {os.cpu_count()} cpus; vantreld from {args.bin}")
    try:
        r = run(args, count, plan)
    except (RuntimeError, OSError, subprocess.CalledProcessError) as e:
        print(f"the run failed: {e}", file=sys.stderr)
        return 2
    a, examples = account(r, args.devices, count)
    report(r, a, examples, args, count, plan)
    with open("/proc/loadavg") as f:
        print(f"load average at the end: {' '.join(f.read().split()[:3])}")
    if a["missing"]:
        return 1
    t = r["trouble"]
    if r["connect_failed"] or t["no connection"] or t["blocked"] or t["partial"] or t["errors"]:
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
