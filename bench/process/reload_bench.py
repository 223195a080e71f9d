#!/usr/bin/env python3
"""A reload while many devices send: vantreld as a process (PER_PORT devices per pty), every
device sending a 16-byte record every PERIOD seconds; halfway through, Info.db changes the way
an operator's edit does (one tunnel added for a device that is online without one, one device
moved to another port, one tunnel deleted, one port's baud rate changed) and vantreld gets
SIGHUP.

Every record is accounted for: delivered to a pty, stored as not forwarded (NotTransData, read
once the service has stopped) or missing; records that are merely late are waited for (the
serial side stops when every record is in, or after QUIET seconds without a new one). It
prints the devices that went offline (expect 0), the records missing (expect 0), the time from
SIGHUP to the reload's line, the longest gap between two records of one device reaching the
serial side and the longest send-to-pty latency, with the machine's load and the CPU of
vantreld and of the bench's own processes beside them.

usage: reload_bench.py [--bin DIR] [--devices N] [--seconds S] [--period P] [--per-port K] [--runs R]
                       [--idle-tunnels T]
       (a try-out: --devices 1000 --seconds 16)"""
import array, multiprocessing, os, resource, select, shutil, signal, sqlite3, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # no compiled copy of the imported benches in the source tree
from scale_bench import (MARK, NS, RECORD, argument_parser, close_ptys, cpu, devices_main,  # noqa: E402
                         vantreld_setup, vantreld_start, vantreld_stop, vantreld_wait_registered)
from churn_bench import stored_messages  # noqa: E402


def device_id(index):
    return "%08X" % (index + 1)


def serial_main(conn, masters, devices, count, excluded, period_ns, run_s):
    """Reads every pty until told what was sent, then until every record of the devices not
    `excluded` is in, or `quiet` seconds pass without a new one, or `limit` seconds in all.
    Per device: which records came, the longest gap between two of them (read times) and where
    it ended; every gap longer than 1.2 periods (its length and end); the longest latency (send
    stamp to read)."""
    ep = select.epoll()
    for fd in masters:
        ep.register(fd, select.EPOLLIN)
    ep.register(conn.fileno(), select.EPOLLIN)
    pending = {fd: bytearray() for fd in masters}
    seen = bytearray(devices * count)
    have = array.array("l", [0] * devices)  # distinct records per device
    last = [0] * devices
    gap = [0] * devices
    gap_end = [0] * devices
    slow = []  # (length, end) of the gaps longer than 1.2 periods
    latencies = array.array("q")
    worst_by_second = {}  # the longest latency of the records sent in each second of CLOCK_MONOTONIC
    corrupt = 0
    sent = None
    owed = 0
    quiet_s = limit = None
    last_new = time.monotonic()
    hard_stop = time.monotonic() + run_s
    while time.monotonic() < hard_stop:
        if sent is not None and (owed <= 0 or time.monotonic() > limit or time.monotonic() - last_new > quiet_s):
            break
        for fd, _ in ep.poll(0.2):
            if fd == conn.fileno():
                sent, quiet_s, limit_s = conn.recv()
                limit = time.monotonic() + limit_s
                owed = sum(max(0, sent[d] - have[d]) for d in range(devices) if d not in excluded)
                continue
            try:
                chunk = os.read(fd, 65536)
            except (BlockingIOError, OSError):
                continue
            now = time.monotonic_ns()
            buf = pending[fd]
            buf += chunk
            i = 0
            while i + RECORD <= len(buf):
                if buf[i] != MARK or any(b & 0x80 for b in buf[i + 1:i + RECORD]):
                    corrupt += 1
                    i += 1
                    continue
                value = 0
                for b in buf[i + 1:i + RECORD]:
                    value = (value << 7) | b
                device, sequence = value >> 85, (value >> 64) & 0x1FFFFF
                i += RECORD
                if device >= devices or sequence >= count:
                    corrupt += 1
                    continue
                slot = device * count + sequence
                if seen[slot] == 0:
                    have[device] += 1
                    last_new = time.monotonic()
                    if sent is not None and device not in excluded and have[device] <= sent[device]:
                        owed -= 1
                if seen[slot] < 255:
                    seen[slot] += 1
                sent_ns = value & 0xFFFFFFFFFFFFFFFF
                latencies.append(now - sent_ns)
                second = sent_ns // NS
                worst_by_second[second] = max(worst_by_second.get(second, 0), now - sent_ns)
                if device in excluded:
                    continue
                if last[device] and now - last[device] > gap[device]:
                    gap[device], gap_end[device] = now - last[device], now
                if last[device] and now - last[device] > period_ns * 1.2 and len(slow) < 1_000_000:
                    slow.append((now - last[device], now))
                last[device] = now
            del buf[:i]
    lat = sorted(latencies)
    conn.send({"seen": bytes(seen), "corrupt": corrupt, "gaps": gap, "gap_ends": gap_end, "slow": slow, "worst_by_second": worst_by_second,
               "last_read": max(last) if any(last) else 0,
               "lat_p99_ms": lat[int(len(lat) * 0.99)] / 1e6 if lat else float("nan"),
               "lat_max_ms": lat[-1] / 1e6 if lat else float("nan")})


class Plan:
    """The devices the reload changes, by index: `added` is online without a tunnel until the
    reload gives it one on its own port, `moved` goes from its port to the next one, `deleted`
    loses its tunnel, and every tunnel on `baud_port` gets 19200 baud (the port reopens)."""

    def __init__(self, devices, per_port):
        ports = -(-devices // per_port)
        if devices < 4 or ports < 3:
            raise SystemExit("the reload needs at least 4 devices on 3 ports")
        self.per_port = per_port
        self.added, self.moved, self.deleted = devices - 1, 0, 1
        self.baud_port = 3

    def port_of(self, index):
        return "COM%d" % (index // self.per_port + 1)

    def before_start(self, db_path, idle_tunnels, ports):
        """Also `idle_tunnels` tunnels of devices that never connect, spread over the ports."""
        db = sqlite3.connect(db_path)
        db.execute("delete from TunnelInfo where DeviceID = ?", (device_id(self.added),))
        db.executemany("insert into TunnelInfo values (?, ?, 9600, 8, '1', 'None', '')",
                       [("%08X" % (0x10000000 + k), "COM%d" % (k % ports + 1)) for k in range(idle_tunnels)])
        db.commit(); db.close()

    def change(self, db_path):
        db = sqlite3.connect(db_path)
        db.execute("insert into TunnelInfo values (?, ?, 9600, 8, '1', 'None', '')",
                   (device_id(self.added), self.port_of(self.added)))
        db.execute("update TunnelInfo set SerialNo = ? where DeviceID = ?",
                   (self.port_of(self.moved + self.per_port), device_id(self.moved)))
        db.execute("delete from TunnelInfo where DeviceID = ?", (device_id(self.deleted),))
        db.execute("update TunnelInfo set BaudRate = 19200 where SerialNo = ?", ("COM%d" % self.baud_port,))
        db.commit(); db.close()


def lines(path, text):
    with open(path) as log:
        return [line for line in log if text in line]


def send_time_ns(t0, index, sequence, devices, period):
    """When devices_main sends record `sequence` of device `index` (it spreads the sends evenly)."""
    return t0 + int((sequence * devices + index) * period * NS / devices)


def run(args, number):
    devices, count = args.devices, max(1, round(args.seconds / args.period))
    plan = Plan(devices, args.per_port)
    work = tempfile.mkdtemp(prefix="vantrel-reload-")
    ends, proc = [], None
    ctx = multiprocessing.get_context("fork")
    out = {"load_start": os.getloadavg()[0]}
    try:
        env, port, ends = vantreld_setup(args.bin, work, devices, args.per_port)
        plan.before_start(work + "/Info.db", args.idle_tunnels, len(ends))
        proc = vantreld_start(args.bin, work, env, port)
        print(f"run {number}: vantreld ({devices} devices) pid {proc.pid}, application directory {work}", flush=True)
        serial_conn, serial_child = ctx.Pipe()
        dev_conn, dev_child = ctx.Pipe()
        # The added device has no tunnel until the reload (for ever without one).
        excluded = frozenset({plan.added} if args.no_reload else {plan.added, plan.deleted})
        serial = ctx.Process(target=serial_main, args=(serial_child, [m for m, _, _ in ends], devices, count, excluded,
                                                      int(args.period * NS), args.seconds + args.limit + 900))
        sender = ctx.Process(target=devices_main, args=(dev_child, [port] * devices, True, count, args.period))
        serial.start(); sender.start()
        if not dev_conn.poll(60 + devices / 20):
            raise RuntimeError("the devices did not connect in time")
        _, failed = dev_conn.recv()
        vantreld_wait_registered(proc, work, devices - failed)
        t0 = time.monotonic_ns() + NS // 2
        cpu0, own0 = cpu([proc.pid]), cpu([serial.pid, sender.pid])
        dev_conn.send(("go", t0))
        time.sleep(args.seconds / 2 + 0.5)
        hup = reloaded = time.monotonic_ns()
        if not args.no_reload:
            plan.change(work + "/Info.db")
            proc.send_signal(signal.SIGHUP)
            while not lines(work + "/vantreld.out", "Reloaded the tunnels") and \
                    not lines(work + "/vantreld.err", "Reload refused"):
                if time.monotonic_ns() - hup > 120 * NS:
                    raise RuntimeError("no reload line within 120 s")
                time.sleep(0.01)
            reloaded = time.monotonic_ns()
        if not dev_conn.poll(args.seconds + 120):
            raise RuntimeError("the devices did not finish sending in time")
        _, sent, trouble = dev_conn.recv()
        sent_end = time.monotonic_ns()
        serial_conn.send((sent, args.quiet, args.limit))
        if not serial_conn.poll(args.limit + 600):
            raise RuntimeError("the serial side did not report in time")
        r = serial_conn.recv()
        out["cpu_s"], out["bench_cpu_s"] = cpu([proc.pid]) - cpu0, cpu([serial.pid, sender.pid]) - own0
        out["wall_s"] = (time.monotonic_ns() - t0) / NS
        # Counted before the devices close at the end, which reports each of them offline.
        out["offline"] = len(lines(work + "/vantreld.out", " offline"))
        reload_line = lines(work + "/vantreld.out", "Reloaded the tunnels")
        out["reload"] = reload_line[0].split("  ", 1)[-1].strip() if reload_line else "no reload"
        vantreld_stop(proc)
        out["exit"] = proc.returncode
        proc = None
        dev_conn.send("close")
        for child in (sender, serial):
            child.join(10)
        stored, _, stored_corrupt, _, _ = stored_messages(work + "/Info.db", devices, count)
        out.update(account(r, stored, sent, devices, count, excluded))
        out["stored_corrupt"] = stored_corrupt
        out["failed"], out["trouble"], out["corrupt"] = failed, trouble, r["corrupt"]
        out["reload_ms"] = (reloaded - hup) / 1e6
        gaps = sorted(r["gaps"])
        worst = max(range(devices), key=lambda d: r["gaps"][d])
        out["gap_ms"], out["gap_median_ms"] = r["gaps"][worst] / 1e6, gaps[len(gaps) // 2] / 1e6
        out["gap_end_ms"] = (r["gap_ends"][worst] - hup) / 1e6
        # The gaps that span a moment of the reload (from SIGHUP to its line).
        out["reload_gap_ms"] = max([length for length, end in r["slow"] if end > hup and end - length < reloaded]
                                   + [0]) / 1e6
        out["drain_ms"] = max(0, r["last_read"] - sent_end) / 1e6
        out["lat_p99_ms"], out["lat_max_ms"] = r["lat_p99_ms"], r["lat_max_ms"]
        # The longest latency of the records sent in each second from 4 s before SIGHUP to 4 s after.
        out["around"] = [r["worst_by_second"].get(hup // NS + k, 0) / 1e6 for k in range(-4, 5)]
        if not args.no_reload:
            seen = r["seen"]
            after = lambda d, k: send_time_ns(t0, d, k, devices, args.period) > reloaded + NS // 10
            out["added_after"] = (sum(1 for k in range(sent[plan.added]) if after(plan.added, k)
                                      and seen[plan.added * count + k]),
                                  sum(1 for k in range(sent[plan.added]) if after(plan.added, k)))
            out["deleted_after"] = sum(1 for k in range(sent[plan.deleted]) if after(plan.deleted, k)
                                       and seen[plan.deleted * count + k])
        with open(work + "/vantreld.err") as err:
            out["problems"] = err.read().splitlines()
        out["load_end"] = os.getloadavg()[0]
        return out
    finally:
        if proc is not None:
            vantreld_stop(proc)
        close_ptys(ends)
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


def account(r, stored, sent, devices, count, excluded):
    """Records of the devices not `excluded`: at a pty, only in the store, or nowhere."""
    seen = r["seen"]
    total = delivered = kept = duplicates = 0
    for d in range(devices):
        if d in excluded:
            continue
        total += sent[d]
        found = 0
        for k in range(count):
            at_port, in_store = seen[d * count + k], stored[d * count + k]
            if at_port or in_store:
                found += 1
                delivered += at_port > 0
                kept += at_port == 0
                duplicates += at_port + in_store - 1
        # A record whose send the socket refused was never sent: found can be below count.
        total -= max(0, found - sent[d])
    return {"sent": total, "delivered": delivered, "stored": kept, "duplicates": duplicates,
            "missing": total - delivered - kept}


def report(out, args):
    print(f"  load average {out['load_start']:.1f} at the start, {out['load_end']:.1f} at the end; vantreld "
          f"{out['cpu_s']:.1f} CPU s in {out['wall_s']:.0f} s, the bench's devices and serial side {out['bench_cpu_s']:.1f}")
    print(f"  devices connected {args.devices - out['failed']} of {args.devices}; offline lines (disconnects) "
          f"{out['offline']}; vantreld exited {out['exit']}")
    print(f"  records {out['sent']}: delivered {out['delivered']}, stored {out['stored']}, missing {out['missing']}, "
          f"duplicated {out['duplicates']}; corrupt bytes {out['corrupt']} (store {out['stored_corrupt']}); "
          f"send trouble {out['trouble']}")
    if not args.no_reload:
        print(f"  reload: {out['reload_ms']:.0f} ms from SIGHUP to its line: {out['reload']}")
        print(f"  added device: {out['added_after'][0]} of its {out['added_after'][1]} records sent after the reload "
              f"delivered; deleted device: {out['deleted_after']} records sent after the reload reached a port")
    print(f"  longest gap in one device's delivery {out['gap_ms']:.0f} ms (period {args.period * 1000:.0f} ms), "
          f"ending {out['gap_end_ms']:+.0f} ms from SIGHUP; median device's longest gap {out['gap_median_ms']:.0f} ms; "
          f"longest gap across the reload {out['reload_gap_ms']:.0f} ms (0: none above 1.2 periods)")
    print(f"  latency send to pty: p99 {out['lat_p99_ms']:.0f} ms, max {out['lat_max_ms']:.0f} ms; the last record "
          f"came {out['drain_ms']:.0f} ms after the last send")
    print("  longest latency of the records sent in each second from 4 s before SIGHUP to 4 s after (ms): "
          + " ".join(f"{ms:.0f}" for ms in out["around"]))
    if out["problems"]:
        print("  vantreld's problem lines:", *out["problems"][:10], sep="\n    ")


def main():
    ap = argument_parser(__doc__)
    ap.add_argument("--devices", type=int, default=10000, help="devices (default 10000)")
    ap.add_argument("--per-port", type=int, default=100, help="devices per pty (default 100)")
    ap.add_argument("--seconds", type=float, default=40, help="sending time (default 40); the reload comes halfway")
    ap.add_argument("--period", type=float, default=1.0, help="seconds between one device's records (default 1)")
    ap.add_argument("--quiet", type=float, default=30, help="stop waiting after this many seconds without a new record")
    ap.add_argument("--limit", type=float, default=300, help="seconds to wait at most for late records after sending")
    ap.add_argument("--idle-tunnels", type=int, default=0,
                    help="tunnels of devices that never connect, besides the devices' own (default 0)")
    ap.add_argument("--runs", type=int, default=1, help="runs, each with a fresh vantreld (default 1)")
    ap.add_argument("--keep", action="store_true", help="keep vantreld's application directory (its logs)")
    ap.add_argument("--no-reload", action="store_true", help="the same run without the reload, to compare")
    args = ap.parse_args()
    # 10,000 devices need about 10,300 descriptors in the devices' process.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    missing = 0
    for number in range(1, args.runs + 1):
        out = run(args, number)
        report(out, args)
        missing += out["missing"] + out["offline"]
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
