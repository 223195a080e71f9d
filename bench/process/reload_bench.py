#!/usr/bin/env python3
"""A reload while many devices send: vantreld as a process (PER_PORT devices per pty), every
device sending a 16-byte record every PERIOD seconds; halfway through, a tunnel is added and
another one's note changed in Info.db and vantreld gets SIGHUP.

It prints the devices that went offline (expect 0), the records lost (expect 0), the time
from SIGHUP to the reload's line, and the longest gap between two records of one device
reaching the serial side, over the whole run and around the reload.

usage: reload_bench.py [--bin DIR] [--devices N] [--seconds S] [--period P] [--per-port K]"""
import multiprocessing, os, resource, select, shutil, signal, sqlite3, sys, tempfile, time

from scale_bench import (MARK, NS, RECORD, argument_parser, close_ptys, devices_main, vantreld_setup, vantreld_start,
                         vantreld_stop, vantreld_wait_registered)


def serial_main(conn, masters, devices, count, run_s):
    """Reads every pty; per device: records delivered and the longest gap between two of them
    (read times), and where that gap ended."""
    ep = select.epoll()
    for fd in masters:
        ep.register(fd, select.EPOLLIN)
    ep.register(conn.fileno(), select.EPOLLIN)
    pending = {fd: bytearray() for fd in masters}
    seen = bytearray(devices * count)
    last = [0] * devices
    gap = [0] * devices
    gap_end = [0] * devices
    corrupt = got = 0
    expected = drain_until = None
    hard_stop = time.monotonic() + run_s
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
                got += RECORD
                if device >= devices or sequence >= count:
                    corrupt += 1
                    continue
                if seen[device * count + sequence] < 255:
                    seen[device * count + sequence] += 1
                if last[device] and now - last[device] > gap[device]:
                    gap[device], gap_end[device] = now - last[device], now
                last[device] = now
            del buf[:i]
    delivered = sum(1 for c in seen if c)
    duplicates = sum(c - 1 for c in seen if c > 1)
    worst = max(range(devices), key=lambda d: gap[d])
    conn.send({"delivered": delivered, "duplicates": duplicates, "corrupt": corrupt,
               "gap_ms": gap[worst] / 1e6, "gap_end": gap_end[worst], "gaps": gap})


def reload_config(work, devices):
    """A tunnel for a device that is not connected, on the first port, and a note changed."""
    db = sqlite3.connect(work + "/Info.db")
    db.execute("insert into TunnelInfo values (?, 'COM1', 9600, 8, '1', 'None', '')", ("%08X" % (devices + 1),))
    db.execute("update TunnelInfo set Note = 'reloaded' where DeviceID = ?", ("%08X" % 1,))
    db.commit(); db.close()


def lines(path, text):
    with open(path) as log:
        return [line for line in log if text in line]


def main():
    ap = argument_parser(__doc__)
    ap.add_argument("--devices", type=int, default=10000, help="devices (default 10000)")
    ap.add_argument("--per-port", type=int, default=100, help="devices per pty (default 100)")
    ap.add_argument("--seconds", type=float, default=40, help="sending time (default 40); the reload comes halfway")
    ap.add_argument("--period", type=float, default=1.0, help="seconds between one device's records (default 1)")
    ap.add_argument("--drain", type=float, default=20, help="seconds to wait for stragglers after sending")
    ap.add_argument("--keep", action="store_true", help="keep vantreld's application directory (its logs)")
    ap.add_argument("--no-reload", action="store_true", help="the same run without the reload, to compare")
    args = ap.parse_args()
    # 10,000 devices need about 10,300 descriptors in the devices' process.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    devices, count = args.devices, max(1, round(args.seconds / args.period))
    work = tempfile.mkdtemp(prefix="vantrel-reload-")
    ends, proc = [], None
    ctx = multiprocessing.get_context("fork")
    try:
        env, port, ends = vantreld_setup(args.bin, work, devices, args.per_port)
        proc = vantreld_start(args.bin, work, env, port)
        print(f"vantreld ({devices} devices): pid {proc.pid}, application directory {work}", flush=True)
        serial_conn, serial_child = ctx.Pipe()
        dev_conn, dev_child = ctx.Pipe()
        serial = ctx.Process(target=serial_main,
                             args=(serial_child, [m for m, _, _ in ends], devices, count, args.seconds + args.drain + 900))
        sender = ctx.Process(target=devices_main, args=(dev_child, [port] * devices, True, count, args.period))
        serial.start(); sender.start()
        if not dev_conn.poll(60 + devices / 20):
            raise RuntimeError("the devices did not connect in time")
        _, failed = dev_conn.recv()
        vantreld_wait_registered(proc, work, devices - failed)
        t0 = time.monotonic_ns() + NS // 2
        dev_conn.send(("go", t0))
        time.sleep(args.seconds / 2 + 0.5)
        hup = time.monotonic_ns()
        if not args.no_reload:
            reload_config(work, devices)
            proc.send_signal(signal.SIGHUP)
        while not args.no_reload and not lines(work + "/vantreld.out", "Reloaded the tunnels") and not lines(work + "/vantreld.err", "Reload refused"):
            if time.monotonic_ns() - hup > 120 * NS:
                raise RuntimeError("no reload line within 120 s")
            time.sleep(0.01)
        reloaded = time.monotonic_ns()
        if not dev_conn.poll(args.seconds + 120):
            raise RuntimeError("the devices did not finish sending in time")
        _, sent, trouble = dev_conn.recv()
        serial_conn.send((RECORD * sum(sent), args.drain))
        if not serial_conn.poll(args.drain + 600):
            raise RuntimeError("the serial side did not report in time")
        r = serial_conn.recv()
        # Counted before the devices close at the end, which reports each of them offline.
        offline = len(lines(work + "/vantreld.out", " offline"))
        dev_conn.send("close")
        for child in (sender, serial):
            child.join(10)
        gaps = sorted(r["gaps"])
        print(f"devices connected: {devices - failed} of {devices}; records sent {sum(sent)}, delivered "
              f"{r['delivered']}, lost {sum(sent) - r['delivered']}, duplicates {r['duplicates']}, corrupt {r['corrupt']}; "
              f"send trouble {trouble}")
        print(f"offline lines (disconnects): {offline}")
        print(f"reload: {(reloaded - hup) / 1e6:.0f} ms from SIGHUP to its line: "
              + lines(work + "/vantreld.out", "Reloaded the tunnels")[0].split("  ", 1)[1].strip()
              if lines(work + "/vantreld.out", "Reloaded the tunnels") else "reload refused")
        print(f"longest gap in one device's delivery: {r['gap_ms']:.0f} ms (period {args.period * 1000:.0f} ms), "
              f"ending {(r['gap_end'] - hup) / 1e6:+.0f} ms from SIGHUP; median device's longest gap "
              f"{gaps[len(gaps) // 2] / 1e6:.0f} ms")
        with open(work + "/vantreld.err") as err:
            problems = err.read().splitlines()
        if problems:
            print("vantreld's problem lines:", *problems[:10], sep="\n  ")
    finally:
        if proc is not None:
            vantreld_stop(proc)
        close_ptys(ends)
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
