#!/usr/bin/env python3
"""What a scrape of vantreld's metrics page costs with many registered devices: the tunnels
written into Info.db (100 devices a pty, as scale_bench.py does), one TCP connection per
device that sends its registration and then nothing, MetricsAddress on 127.0.0.1.

Three windows of the same length, each read from /proc/PID/stat (every thread's utime +
stime): idle without scrapes (the base), one scrape a second (as a monitoring system
would scrape; the cost above the base, per scrape and as a share of a core), and scrapes
back to back for the processor time per scrape and the threads it goes to. Also the page's
size and each scrape's time from request to last byte.

usage: metrics_scrape.py [--bin DIR] [--devices N] [--seconds S]   (a try-out: --devices 1000 --seconds 5)"""
import os, resource, shutil, socket, statistics, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # no compiled copy of scale_bench in the source tree
import scale_bench as sb  # noqa: E402  (the application directory, ptys, /proc readings)


def scrape(port):
    """One GET /metrics: (seconds from connect to the last byte, page bytes)."""
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        answer = bytearray()
        while chunk := s.recv(1 << 16):
            answer += chunk
    head, _, body = bytes(answer).partition(b"\r\n\r\n")
    if not head.startswith(b"HTTP/1.1 200"):
        raise RuntimeError(f"scrape answered {head.splitlines()[0] if head else 'nothing'}")
    return time.monotonic() - started, len(body)


def thread_cpu(pid):
    """utime + stime in seconds of each live thread, by thread ID, with its name."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                text = f.read()
        except FileNotFoundError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        fields = text.rsplit(")", 1)[1].split()
        out[tid] = (name, (int(fields[11]) + int(fields[12])) / sb.CLK_TCK)
    return out


def main():
    ap = sb.argument_parser(__doc__)
    ap.add_argument("--devices", type=int, default=10000, help="registered idle devices (default 10000)")
    ap.add_argument("--seconds", type=float, default=30, help="length of each window (default 30)")
    ap.add_argument("--keep", action="store_true", help="keep vantreld's application directory (its logs)")
    args = ap.parse_args()
    if not 0 < args.devices < 1 << 20 or args.seconds <= 0:
        ap.error("--devices from 1 to 1048575, --seconds positive")
    if not os.access(os.path.join(args.bin, "vantreld"), os.X_OK):
        ap.error(f"no vantreld program in {args.bin} (build it: cmake --build build --target vantreld English)")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    work = tempfile.mkdtemp(prefix="vantrel-metrics-")
    ends, conns, proc = [], [], None
    try:
        env, port, ends = sb.vantreld_setup(args.bin, work, args.devices, 100)
        metrics_port = sb.free_ports(2)[1]
        subprocess.run([os.path.join(args.bin, "vantreld"), "settings", "set", "--metrics", f"127.0.0.1:{metrics_port}"],
                       env=env, check=True, capture_output=True)
        proc = sb.vantreld_start(args.bin, work, env, port)
        for i in range(args.devices):
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(sb.registration(i + 1))
            conns.append(s)
        sb.vantreld_wait_registered(proc, work, args.devices)
        time.sleep(3)
        size = scrape(metrics_port)[1]

        base_start = sb.proc_cpu_s(proc.pid)
        time.sleep(args.seconds)
        base = sb.proc_cpu_s(proc.pid) - base_start

        paced_start = sb.proc_cpu_s(proc.pid)
        began = time.monotonic()
        took = []
        while time.monotonic() - began < args.seconds:
            took.append(scrape(metrics_port)[0])
            time.sleep(max(0.0, began + len(took) - time.monotonic()))
        paced = sb.proc_cpu_s(proc.pid) - paced_start

        threads_start = thread_cpu(proc.pid)
        burst_start = sb.proc_cpu_s(proc.pid)
        began = time.monotonic()
        burst = 0
        while time.monotonic() - began < args.seconds:
            scrape(metrics_port)
            burst += 1
        burst_s = time.monotonic() - began
        burst_cpu = sb.proc_cpu_s(proc.pid) - burst_start
        threads_end = thread_cpu(proc.pid)

        per_scrape_ms = (paced - base) / len(took) * 1000
        print(f"vantreld with {args.devices} registered idle devices, page {size} bytes")
        print(f"  idle           {base:.2f} CPU s in {args.seconds:g} s")
        print(f"  1 scrape/s     {paced:.2f} CPU s for {len(took)} scrapes: {per_scrape_ms:.2f} ms a scrape above idle, "
              f"{per_scrape_ms / 10:.2f} % of a core; scrape took p50 {statistics.median(took) * 1000:.1f} ms, "
              f"max {max(took) * 1000:.1f} ms")
        print(f"  back to back   {burst} scrapes in {burst_s:.1f} s: {burst_cpu / burst * 1000:.2f} CPU ms a scrape "
              f"(idle included: {base / args.seconds * burst_s / burst * 1000:.2f} ms of it)")
        by_name = {}
        for tid, (name, seconds) in threads_end.items():
            by_name[name] = by_name.get(name, 0.0) + seconds - threads_start.get(tid, (name, 0.0))[1]
        busiest = sorted(by_name.items(), key=lambda item: -item[1])[:5]
        print("  its threads    " + ", ".join(f"{name} {seconds / burst * 1000:.2f} ms" for name, seconds in busiest))
    finally:
        for s in conns:
            s.close()
        if proc is not None:
            sb.vantreld_stop(proc)
        sb.close_ptys(ends)
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


main()
