#!/usr/bin/env python3
"""A flood of registrations from one address against bound devices that keep sending, through
vantreld as a process: does any bound device lose its link or a byte, and does the service's
memory come back?

100 devices on 10 ptys (10 a pty, each pty a tunnel port), each tunnel bound with
`vantreld tunnel bind ID --phone P`, connect from 127.0.0.1 and send a tagged 16-byte message
every 100 ms for the whole run; the serial side reads every pty and writes a tagged reply to
each pty every second, which vantreld hands to each of the port's 10 devices. Once they have
sent for a few seconds, an attacker from 127.0.0.2 makes REGISTRATIONS registrations of random
IDs, each on its own connection (the 21-byte registration and a few bytes of data, then close),
IN_FLIGHT at a time; a share of them (WRONG_SHARE) names a bound ID with a wrong phone number.
The service's throttle then refuses the address at accept. At the end every message is
accounted for in both directions, and vantreld's memory and descriptors before the flood are
set beside those after it (after a settle time).

Exits 1 when a bound device lost its link or a message, or received one twice, when the
attacker received a byte, or when vantreld's RSS after the run is more than 10 % above the
figure before it; 2 when the run itself failed (a device that could not connect, a process
that did not finish in time).

usage: registration_flood.py [--bin DIR] [--registrations N] [--wrong-share S] [--in-flight K] [--seed X]
       (a try-out: --registrations 2000)"""
import array, errno, multiprocessing, os, random, re, resource, select, shutil, socket, struct
import subprocess, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # no compiled copy of scale_bench in the source tree
import scale_bench as sb  # noqa: E402  (the records, ptys, application directory, /proc readings)

DEVICES = 100
PORTS = 10
PHONE = b"13912345678"  # what scale_bench's registration carries, and so what every tunnel is bound to
PERIOD_S = 0.1          # between two messages of one device
REPLY_PERIOD_S = 1.0    # between two replies written to one pty
WARMUP_S = 5.0          # the devices send this long before the memory is read the first time
DRAIN_S = 15.0          # how long each side waits for stragglers once the other has stopped
CONNECT_TIMEOUT_S = 10.0
HOLD_S = 0.2            # how long the attacker waits on a connection for the server's answer
NO_ANSWER = f"no answer in {HOLD_S * 1000:g} ms"
ATTACKER = "127.0.0.2"
IP_BIND_ADDRESS_NO_PORT = 24  # <linux/in.h>: the local port is chosen at connect, by the whole 4-tuple
RSS_GROWTH_LIMIT = 0.10
NS = sb.NS


# ---- /proc

def descriptors(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except FileNotFoundError:
        return 0


def reading(pid):
    s = sb.proc_status(pid)
    return {"rss_kb": s["VmRSS"], "hwm_kb": s["VmHWM"], "threads": s["Threads"], "fds": descriptors(pid)}


# ---- the serial side (a child process)

def serial_main(conn, masters, run_s):
    """Reads every pty end, keeping what it read and when; from "go" on writes reply r of port p
    (sb.encode(p, r, now)) to each pty every REPLY_PERIOD_S, spread over the period. Answers
    "stop replies" with the replies written whole per port, and "drain" with the decoded
    messages once every expected byte has arrived or the drain time is over."""
    ports = len(masters)
    ep = select.epoll()
    port_of = {fd: p for p, fd in enumerate(masters)}
    for fd in masters:
        ep.register(fd, select.EPOLLIN)
    ep.register(conn.fileno(), select.EPOLLIN)
    data = [bytearray() for _ in masters]
    ends = [array.array("q") for _ in masters]   # stream offset after each read
    times = [array.array("q") for _ in masters]  # its CLOCK_MONOTONIC
    pending = [bytearray() for _ in masters]     # replies the pty did not take yet
    written = [0] * ports                        # reply bytes the pty took
    queued = [0] * ports                         # replies made
    blocked = read_errors = 0
    got = 0
    t0 = None
    replying = False
    stop_asked = None
    expected = drain_until = count = None
    step = REPLY_PERIOD_S * NS / ports
    j = 0
    hard_stop = time.monotonic() + run_s

    def flush(p):
        nonlocal blocked
        fd = masters[p]
        try:
            w = os.write(fd, pending[p])
        except BlockingIOError:
            w = 0
        del pending[p][:w]
        written[p] += w
        if pending[p]:
            blocked += 1
            ep.modify(fd, select.EPOLLIN | select.EPOLLOUT)
        else:
            ep.modify(fd, select.EPOLLIN)

    while time.monotonic() < hard_stop:
        if expected is not None and (got >= expected or time.monotonic() > drain_until):
            break
        if stop_asked is not None and (not any(pending) or time.monotonic() > stop_asked + DRAIN_S):
            conn.send(("replies", [w // sb.RECORD for w in written], sum(len(b) for b in pending)))
            stop_asked = None
        timeout = 0.2
        if replying:
            now = time.monotonic_ns()
            due = int((now - t0) / step) + 1 if now >= t0 else 0
            while j < due:
                p, r = j % ports, j // ports
                j += 1
                pending[p] += sb.encode(p, r, time.monotonic_ns())
                queued[p] += 1
                flush(p)
            timeout = max(0.0005, (t0 + j * step - time.monotonic_ns()) / NS)
        for fd, ev in ep.poll(min(timeout, 0.2)):
            if fd == conn.fileno():
                message = conn.recv()
                if message[0] == "go":
                    t0, replying = message[1], True
                elif message[0] == "stop replies":
                    replying, stop_asked = False, time.monotonic()
                elif message[0] == "drain":
                    _, expected, count, drain_s = message
                    drain_until = time.monotonic() + drain_s
                continue
            p = port_of[fd]
            if ev & select.EPOLLOUT:
                flush(p)
            if not ev & (select.EPOLLIN | select.EPOLLERR | select.EPOLLHUP):
                continue
            try:
                chunk = os.read(fd, 65536)
            except BlockingIOError:
                continue
            except OSError:
                read_errors += 1
                ep.unregister(fd)
                continue
            data[p] += chunk
            ends[p].append(len(data[p]))
            times[p].append(time.monotonic_ns())
            got += len(chunk)
    if expected is None:
        return  # the run was abandoned; the parent reports why
    conn.send(("drained", got))

    seen = bytearray(DEVICES * count)
    latencies = array.array("q")
    records = corrupt = misrouted = 0
    for p in range(ports):
        r, c, m = sb.decode_port(p, data[p], ends[p], times[p], DEVICES // ports, count, seen, latencies)
        records += r; corrupt += c; misrouted += m
    lat = sorted(latencies)
    pick = lambda q: lat[min(len(lat) - 1, int(len(lat) * q))] / 1e6 if lat else float("nan")
    conn.send({"seen": seen, "records": records, "corrupt": corrupt, "misrouted": misrouted,
               "read_errors": read_errors, "blocked": blocked, "replies_made": queued,
               "p50": pick(0.5), "p99": pick(0.99), "max": lat[-1] / 1e6 if lat else float("nan")})


# ---- the bound devices (a child process)

def devices_main(conn, port):
    """Device i (ID i + 1, on pty i // 10) registers from 127.0.0.1 and, from "go" on, sends
    message k at t0 + (k + i / DEVICES) × PERIOD_S until "stop", keeping what the socket does
    not take yet. It reads all the while; a close or reset by the server is a lost link."""
    per_port = DEVICES // PORTS
    socks = []
    failed = 0
    for i in range(DEVICES):
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=CONNECT_TIMEOUT_S,
                                         source_address=("127.0.0.1", 0))
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.sendall(sb.registration(i + 1))
            s.setblocking(False)
        except OSError as e:
            if failed == 0:
                print(f"device {i}: {e}", file=sys.stderr)
            failed += 1
            s = None
        socks.append(s)
    conn.send(("connected", failed))
    if failed or not conn.poll(600):
        return
    what, t0 = conn.recv()
    if what != "go":
        return

    ep = select.epoll()
    index_of = {}
    for i, s in enumerate(socks):
        ep.register(s.fileno(), select.EPOLLIN | select.EPOLLRDHUP)
        index_of[s.fileno()] = i
    ep.register(conn.fileno(), select.EPOLLIN)
    out = [bytearray() for _ in range(DEVICES)]
    sent_bytes = [0] * DEVICES
    made = [0] * DEVICES     # messages made (sequence numbers used)
    received = [bytearray() for _ in range(DEVICES)]
    lost = {}                # device -> (seconds after t0, what happened)
    blocked = 0
    step = PERIOD_S * NS / DEVICES
    j = 0
    stopping = None          # replies written per port, once "stop" has come
    stop_until = None
    hard_stop = time.monotonic() + 7 * 24 * 3600

    def lose(i, what):
        if i in lost:
            return
        lost[i] = ((time.monotonic_ns() - t0) / NS, what)
        ep.unregister(socks[i].fileno())
        socks[i].close()

    def flush(i):
        nonlocal blocked
        if i in lost or not out[i]:
            return
        try:
            w = socks[i].send(out[i])
        except BlockingIOError:
            w = 0
        except OSError as e:
            lose(i, f"send: {e.strerror}")
            return
        del out[i][:w]
        sent_bytes[i] += w
        mask = select.EPOLLIN | select.EPOLLRDHUP
        if out[i]:
            blocked += 1
            mask |= select.EPOLLOUT
        ep.modify(socks[i].fileno(), mask)

    def read(i):
        while i not in lost:
            try:
                chunk = socks[i].recv(65536)
            except BlockingIOError:
                return
            except OSError as e:
                lose(i, f"reset by the server ({e.strerror})")
                return
            if not chunk:
                lose(i, "closed by the server")
                return
            received[i] += chunk

    def complete():
        if any(out[i] for i in range(DEVICES) if i not in lost):
            return False
        return all(len(received[i]) >= stopping[i // per_port] * sb.RECORD for i in range(DEVICES) if i not in lost)

    while time.monotonic() < hard_stop:
        if stopping is not None and (complete() or time.monotonic() > stop_until):
            break
        timeout = 0.2
        if stopping is None:
            now = time.monotonic_ns()
            due = int((now - t0) / step) + 1 if now >= t0 else 0
            while j < due:
                k, i = divmod(j, DEVICES)
                j += 1
                if i in lost:
                    continue
                out[i] += sb.encode(i, k, time.monotonic_ns())
                made[i] = k + 1
                flush(i)
            timeout = max(0.0005, (t0 + j * step - time.monotonic_ns()) / NS)
        for fd, ev in ep.poll(min(timeout, 0.2)):
            if fd == conn.fileno():
                what, replies = conn.recv()
                if what == "stop":
                    stopping, stop_until = replies, time.monotonic() + DRAIN_S
                continue
            i = index_of[fd]
            if ev & select.EPOLLOUT:
                flush(i)
            if ev & (select.EPOLLIN | select.EPOLLRDHUP | select.EPOLLERR | select.EPOLLHUP):
                read(i)

    # The replies: "device" in a reply is its port, so each device decodes its port's stream alone.
    count = max(stopping) + 1 if stopping else 1
    replies = []
    for i in range(DEVICES):
        p = i // per_port
        seen = bytearray(PORTS * count)
        data = received[i]
        records, corrupt, misrouted = sb.decode_port(p, data, array.array("q", [len(data)]), array.array("q", [0]),
                                                     1, count, seen, array.array("q"))
        copies = seen[p * count:p * count + stopping[p]] if stopping else b""
        replies.append({"expected": len(copies), "delivered": sum(1 for c in copies if c == 1),
                        "missing": sum(1 for c in copies if c == 0), "duplicated": sum(1 for c in copies if c > 1),
                        "corrupt": corrupt, "misrouted": misrouted})
    conn.send(("done", [b // sb.RECORD for b in sent_bytes], made, [len(b) for b in out], blocked, lost, replies))
    conn.poll(600)
    for i, s in enumerate(socks):
        if i not in lost:
            s.close()


# ---- the attacker (a child process)

def attack_plan(registrations, wrong_share, seed):
    """Per registration: (packet and a few bytes of data, names a bound ID)."""
    rng = random.Random(seed)
    plan = []
    for n in range(registrations):
        wrong = rng.random() < wrong_share
        if wrong:
            number = rng.randint(1, DEVICES)
            phone = PHONE
            while phone == PHONE:
                phone = ("139%08d" % rng.randrange(10 ** 8)).encode()
        else:
            number = rng.randint(DEVICES + 1, 0xFFFFFFFF)
            phone = ("13%09d" % rng.randrange(10 ** 9)).encode()
        packet = (struct.pack("<I", number) + phone.ljust(12, b"\0") + bytes(rng.randrange(256) for _ in range(4))
                  + b"\0" + b"AT+CMD%05d\r\n" % (n % 100000))
        plan.append((packet, wrong))
    return plan


def attacker_main(conn, port, plan, in_flight):
    """Opens one connection from ATTACKER a registration, at most in_flight at once: connect,
    send the packet, then wait up to HOLD_S for the server's answer before closing. Counts per
    kind (random ID / bound ID with a wrong phone) what it saw: no answer in that time means the
    server held the connection (or answered later, when it is busy)."""
    if not conn.poll(600) or conn.recv() != "go":
        return
    kinds = ("random", "wrong phone")
    outcomes = (NO_ANSWER, "closed by the server", "reset by the server", "refused at connect",
                "connect timed out", "other error")
    seen = {k: dict.fromkeys(outcomes, 0) for k in kinds}
    first = {}                  # outcome -> seconds after the start, the first time it was seen
    bytes_received = {k: 0 for k in kinds}
    errors = {}
    no_local_port = 0
    ep = select.epoll()
    live = {}                   # fd -> [socket, plan index, stage, deadline]
    queue = list(range(len(plan) - 1, -1, -1))
    retries = {}
    start = time.monotonic()
    pause_until = 0.0
    hard_stop = start + 60 + len(plan) / 50
    done = 0

    def count(n, outcome, error=None):
        nonlocal done
        seen[kinds[plan[n][1]]][outcome] += 1
        first.setdefault(outcome, time.monotonic() - start)
        if error is not None:
            name = errno.errorcode.get(error, str(error))
            errors[name] = errors.get(name, 0) + 1
        done += 1

    def finish(fd, outcome, error=None):
        s, n = live.pop(fd)[:2]
        ep.unregister(fd)
        s.close()
        count(n, outcome, error)

    def classify(error):
        if error == errno.ECONNREFUSED:
            return "refused at connect"
        if error in (errno.ECONNRESET, errno.EPIPE):
            return "reset by the server"
        if error == errno.ETIMEDOUT:
            return "connect timed out"
        return "other error"

    while done < len(plan) and time.monotonic() < hard_stop:
        now = time.monotonic()
        while queue and len(live) < in_flight and now >= pause_until:
            n = queue.pop()
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM | socket.SOCK_NONBLOCK)
            try:
                s.setsockopt(socket.SOL_IP, IP_BIND_ADDRESS_NO_PORT, 1)
                s.bind((ATTACKER, 0))
                error = s.connect_ex(("127.0.0.1", port))
            except OSError as e:
                error = e.errno
            if error in (0, errno.EINPROGRESS):
                live[s.fileno()] = [s, n, "connecting", now + CONNECT_TIMEOUT_S]
                ep.register(s.fileno(), select.EPOLLOUT)
                continue
            s.close()
            if error in (errno.EADDRNOTAVAIL, errno.EAGAIN) and retries.get(n, 0) < 100:
                # Every local port to the service is taken (closed ones wait a while): try again shortly.
                no_local_port += 1
                retries[n] = retries.get(n, 0) + 1
                queue.append(n)
                pause_until = now + 0.01
                break
            count(n, classify(error), error)
        for fd, ev in ep.poll(0.01):
            entry = live.get(fd)
            if entry is None:
                continue
            s, n, stage, _ = entry
            if stage == "connecting":
                error = s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if error:
                    finish(fd, classify(error), error)
                    continue
                try:
                    s.send(plan[n][0])
                except OSError as e:
                    finish(fd, classify(e.errno), e.errno)
                    continue
                entry[2], entry[3] = "sent", time.monotonic() + HOLD_S
                ep.modify(fd, select.EPOLLIN | select.EPOLLRDHUP)
                continue
            try:
                chunk = s.recv(65536)
            except BlockingIOError:
                continue
            except OSError as e:
                finish(fd, classify(e.errno), e.errno)
                continue
            if chunk:
                bytes_received[kinds[plan[n][1]]] += len(chunk)  # the tunnel's data reached a stranger
                continue
            finish(fd, "closed by the server")
        now = time.monotonic()
        for fd in [fd for fd, e in live.items() if e[3] <= now]:
            finish(fd, NO_ANSWER if live[fd][2] == "sent" else "connect timed out")
    wall = time.monotonic() - start
    for entry in live.values():  # out of time: left uncounted, so that done falls short
        entry[0].close()
    conn.send({"seen": seen, "first": first, "bytes received": bytes_received, "errors": errors,
               "no local port": no_local_port, "done": done, "wall_s": wall})


# ---- vantreld's lines

BOUND = frozenset("%08X" % (i + 1) for i in range(DEVICES))
DEVICE_LINE = re.compile(r"Device ([0-9A-F]{8})[ :]")


def device_lines(path):
    """From vantreld's status lines: registrations of bound and of other IDs, and the bound
    devices whose connection went offline or was replaced."""
    out = {"bound registered": 0, "others registered": 0, "bound offline": set(), "bound replaced": set()}
    with open(path, errors="replace") as log:
        for line in log:
            m = DEVICE_LINE.search(line)
            if m is None:
                continue
            bound = m.group(1) in BOUND
            if " registered from " in line:
                out["bound registered" if bound else "others registered"] += 1
            elif bound and "was replaced by a newer connection" in line:
                out["bound replaced"].add(m.group(1))
            elif bound and " offline: " in line:
                out["bound offline"].add(m.group(1))
    return out


def refusal_lines(path):
    """From vantreld's standard error (debug lines on): the last counts by reason of the
    statistics line, the refusal and throttle lines, and the other lines but the debug and
    trace lines ("[MSG]...", "<thread>: ...")."""
    out = {"counts": {}, "at registration": 0, "at accept": 0, "not shown": 0, "throttle started": 0,
           "throttle ended": 0, "other": []}
    warning = "vantreld: warning: "
    with open(path, errors="replace") as err:
        for line in err:
            line = line.rstrip("\n")
            if line.startswith("[MSG]Refused: "):
                out["counts"] = {name: int(n) for name, n in re.findall(r"([a-z -]+?) (\d+)(?:, |$)", line[14:])}
                continue
            if line.startswith("[MSG]") or re.match(r"\d+: ", line):
                continue
            text = line[len(warning):] if line.startswith(warning) else None
            if text is None:
                out["other"].append(line)
                continue
            if text.startswith("refusing every connection from"):
                out["throttle started"] += 1
            elif " are accepted again" in text:
                out["throttle ended"] += 1
            elif " refused: registration from " in text:
                out["at registration"] += 1
            elif text.startswith("connection from ") and " refused: " in text:
                out["at accept"] += 1
            else:
                out["other"].append(line)
                continue
            m = re.search(r"\(and (\d+) more refusals from", line)
            if m:
                out["not shown"] += int(m.group(1))
    return out


# ---- one run

def watch(proc, until, peak, stop_when=None):
    """Samples vantreld's memory and descriptors every second until `until` (monotonic) or until
    stop_when() is true; raises when vantreld has ended. Returns whether stop_when came true."""
    while True:
        r = reading(proc.pid)
        peak["rss_kb"] = max(peak["rss_kb"], r["rss_kb"])
        peak["fds"] = max(peak["fds"], r["fds"])
        if proc.poll() is not None:
            raise RuntimeError(f"vantreld ended ({proc.returncode})")
        left = until - time.monotonic()
        if left <= 0:
            return False
        if stop_when is not None:
            if stop_when(min(1.0, left)):
                return True
        else:
            time.sleep(min(1.0, left))


def receive(conn, seconds, what):
    if not conn.poll(seconds):
        raise RuntimeError(f"{what} did not answer in time")
    return conn.recv()


def run(args, plan):
    work = tempfile.mkdtemp(prefix="vantrel-flood-")
    ends = []
    proc = None
    children = []
    r = {}
    try:
        env, port, ends = sb.vantreld_setup(args.bin, work, DEVICES, DEVICES // PORTS)
        for i in range(DEVICES):
            subprocess.run([os.path.join(args.bin, "vantreld"), "tunnel", "bind", "%08X" % (i + 1),
                            "--phone", PHONE.decode()], env=env, check=True, capture_output=True)
        # Debug lines on: the statistics line with the refusal counts goes to standard error.
        proc = sb.vantreld_start(args.bin, work, dict(env, VANTREL_DEBUG="1"), port)
        print(f"vantreld: pid {proc.pid}, application directory {work}", flush=True)
        r["started"] = reading(proc.pid)

        ctx = multiprocessing.get_context("fork")
        serial_conn, serial_child = ctx.Pipe()
        dev_conn, dev_child = ctx.Pipe()
        attack_conn, attack_child = ctx.Pipe()
        flood_bound_s = 60 + len(plan) / 50
        run_s = WARMUP_S + flood_bound_s + args.settle + 4 * DRAIN_S + 600
        children = [ctx.Process(target=serial_main, args=(serial_child, [m for m, _, _ in ends], run_s)),
                    ctx.Process(target=devices_main, args=(dev_child, port)),
                    ctx.Process(target=attacker_main, args=(attack_child, port, plan, args.in_flight))]
        for child in children:
            child.start()

        _, failed = receive(dev_conn, 60 + DEVICES * CONNECT_TIMEOUT_S, "the devices")
        if failed:
            raise RuntimeError(f"{failed} of {DEVICES} devices could not connect")
        sb.vantreld_wait_registered(proc, work, DEVICES)
        t0 = time.monotonic_ns() + NS // 2
        dev_conn.send(("go", t0))
        serial_conn.send(("go", t0))
        peak = {"rss_kb": 0, "fds": 0}
        watch(proc, time.monotonic() + 0.5 + WARMUP_S, peak)
        r["before"] = reading(proc.pid)

        attack_conn.send("go")
        flood = {"rss_kb": 0, "fds": 0}
        if not watch(proc, time.monotonic() + flood_bound_s + 30, flood, attack_conn.poll):
            raise RuntimeError("the attacker did not finish in time")
        r["attack"] = attack_conn.recv()
        r["flood peak"] = flood
        watch(proc, time.monotonic() + args.settle, peak)
        r["after"] = reading(proc.pid)
        r["lines"] = device_lines(work + "/vantreld.out")

        serial_conn.send(("stop replies",))
        _, replies, r["replies unwritten bytes"] = receive(serial_conn, DRAIN_S + 30, "the serial side")
        dev_conn.send(("stop", replies))
        (_, r["sent"], r["made"], r["unsent bytes"], r["device blocked"], r["lost"],
         r["replies"]) = receive(dev_conn, DRAIN_S + 60, "the devices")
        r["replies written"] = replies
        count = max(r["made"]) + 1
        serial_conn.send(("drain", sb.RECORD * sum(r["sent"]), count, DRAIN_S))
        receive(serial_conn, DRAIN_S + 30, "the serial side")
        r["port"] = receive(serial_conn, 120, "the serial side")
        r["count"] = count
        r["sent_s"] = (time.monotonic_ns() - t0) / NS
        dev_conn.send("close")
        sb.vantreld_stop(proc)
        r["exit"] = proc.returncode
        proc = None
        r["refusals"] = refusal_lines(work + "/vantreld.err")
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
            print(f"kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


def account(r):
    """Device to port: each sent message's copies at its port. Port to device: each written
    reply's copies at each device of its port."""
    seen, count = r["port"]["seen"], r["count"]
    up = {"sent": 0, "delivered": 0, "missing": 0, "duplicated": 0, "arrived unsent": 0}
    for i, sent in enumerate(r["sent"]):
        row = seen[i * count:(i + 1) * count]
        up["sent"] += sent
        up["delivered"] += row[:sent].count(1)
        up["missing"] += row[:sent].count(0)
        up["duplicated"] += sent - row[:sent].count(1) - row[:sent].count(0)
        up["arrived unsent"] += count - sent - row[sent:].count(0)
    down = {key: sum(d[key] for d in r["replies"])
            for key in ("expected", "delivered", "missing", "duplicated", "corrupt", "misrouted")}
    return up, down


def report(r, up, down, args, wall_s):
    a = r["attack"]
    mb = lambda kb: f"{kb / 1024:.1f} MB"
    before, after = r["before"], r["after"]
    growth = (after["rss_kb"] - before["rss_kb"]) / max(1, before["rss_kb"])
    print(f"\n{DEVICES} bound devices on {PORTS} ptys, a 16-byte message every {PERIOD_S * 1000:g} ms each for "
          f"{r['sent_s']:.1f} s, a reply to each pty every {REPLY_PERIOD_S:g} s; the attacker from {ATTACKER}: "
          f"{args.registrations} registrations, {100 * args.wrong_share:g} % with a bound ID and a wrong phone, "
          f"{args.in_flight} at once, seed {args.seed}")
    busy = f"; local ports busy {a['no local port']} times (retried)" if a["no local port"] else ""
    print(f"  flood           {a['done']} connections in {a['wall_s']:.1f} s "
          f"({a['done'] / max(a['wall_s'], 1e-9):.0f} a second){busy}")
    print(f"  {'the attacker saw':<26}{'random ID':>12}{'wrong phone':>13}   first after")
    for outcome in a["seen"]["random"]:
        n1, n2 = a["seen"]["random"][outcome], a["seen"]["wrong phone"][outcome]
        at = f"{a['first'][outcome]:.2f} s" if outcome in a["first"] else ""
        print(f"  {outcome:<26}{n1:>12}{n2:>13}   {at}")
    print(f"  {'bytes received':<26}{a['bytes received']['random']:>12}{a['bytes received']['wrong phone']:>13}")
    if a["errors"]:
        print(f"  errors          {', '.join(f'{k} {v}' for k, v in sorted(a['errors'].items()))}")
    f = r["refusals"]
    counts = ", ".join(f"{k} {v}" for k, v in f["counts"].items()) or "none"
    print(f"  vantreld        refusals counted: {counts}; refusal lines: {f['at registration']} at registration, "
          f"{f['at accept']} at accept (telling of {f['not shown']} more not shown); throttle started "
          f"{f['throttle started']}, ended {f['throttle ended']}; registrations reported: "
          f"{r['lines']['bound registered']} of bound IDs, {r['lines']['others registered']} of others")
    print(f"  links lost      {len(r['lost'])} of {DEVICES} bound devices"
          f"{''.join(f'; {i + 1:08X} at {t:.1f} s: {what}' for i, (t, what) in sorted(r['lost'].items())[:5])}; "
          f"vantreld reported {len(r['lines']['bound offline'])} bound devices offline, "
          f"{len(r['lines']['bound replaced'])} replaced")
    p = r["port"]
    print(f"  device -> port  sent {up['sent']}, delivered once {up['delivered']}, missing {up['missing']}, "
          f"duplicated {up['duplicated']}, arrived unsent {up['arrived unsent']}; corrupt bytes {p['corrupt']}, "
          f"misrouted {p['misrouted']}; latency p50 {p['p50']:.2f} ms, p99 {p['p99']:.2f} ms, max {p['max']:.1f} ms; "
          f"left unsent at the end {sum(r['unsent bytes'])} bytes, sends the socket did not take at once "
          f"{r['device blocked']}")
    print(f"  port -> device  {sum(r['replies written'])} replies written ({sum(p['replies_made'])} made, "
          f"{r['replies unwritten bytes']} bytes the ptys did not take), each to {DEVICES // PORTS} devices: "
          f"expected {down['expected']}, delivered once {down['delivered']}, missing {down['missing']}, "
          f"duplicated {down['duplicated']}; corrupt bytes {down['corrupt']}, misrouted {down['misrouted']}")
    print(f"  memory          RSS started {mb(r['started']['rss_kb'])}, before the flood {mb(before['rss_kb'])}, "
          f"peak during it {mb(r['flood peak']['rss_kb'])}, after {args.settle:g} s settling {mb(after['rss_kb'])} "
          f"({100 * growth:+.1f} %, limit +{100 * RSS_GROWTH_LIMIT:g} %); VmHWM {mb(after['hwm_kb'])}")
    print(f"  descriptors     before {before['fds']}, peak during the flood {r['flood peak']['fds']}, after "
          f"{after['fds']}; threads before {before['threads']}, after {after['threads']}")
    print(f"  vantreld exit   {r['exit']}; wall time {wall_s:.1f} s")
    for line in f["other"][:5]:
        print(f"  stderr          {line}")
    if len(f["other"]) > 5:
        print(f"  stderr          ... {len(f['other']) - 5} more lines")
    return growth


def main():
    ap = sb.argument_parser(__doc__)
    ap.add_argument("--registrations", type=int, default=100000, help="the attacker's registrations (default 100000)")
    ap.add_argument("--wrong-share", type=float, default=0.1,
                    help="share of them naming a bound ID with a wrong phone number (default 0.1)")
    ap.add_argument("--in-flight", type=int, default=200, help="the attacker's connections open at once (default 200)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the IDs, phones and wrong ones (default 1)")
    ap.add_argument("--settle", type=float, default=10, help="seconds after the flood before the memory is read (default 10)")
    ap.add_argument("--keep", action="store_true", help="keep vantreld's application directory (its output)")
    args = ap.parse_args()
    if not 0 < args.registrations <= 10_000_000:
        ap.error("--registrations runs from 1 to 10000000")
    if not 0 <= args.wrong_share <= 1:
        ap.error("--wrong-share runs from 0 to 1")
    if not 0 < args.in_flight <= 20000:
        ap.error("--in-flight runs from 1 to 20000")
    if args.settle < 0:
        ap.error("--settle must not be negative")
    if not os.access(os.path.join(args.bin, "vantreld"), os.X_OK):
        ap.error(f"no vantreld program in {args.bin} (build it: cmake --build build --target vantreld English)")
    try:
        probe = socket.socket()
        probe.bind((ATTACKER, 0))
        probe.close()
    except OSError as e:
        ap.error(f"cannot use {ATTACKER} as a source address: {e}")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = args.in_flight + DEVICES + 4 * PORTS + 200
    if hard < need:
        sys.exit(f"the open-file limit is {hard}; {need} are needed (ulimit -Hn)")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    plan = attack_plan(args.registrations, args.wrong_share, args.seed)
    with open("/proc/loadavg") as f:
        print(f"load average at start: {' '.join(f.read().split()[:3])}; {os.cpu_count()} cpus; vantreld from {args.bin}")
    start = time.monotonic()
    try:
        r = run(args, plan)
    except (RuntimeError, OSError, subprocess.CalledProcessError) as e:
        print(f"the run failed: {e}", file=sys.stderr)
        return 2
    up, down = account(r)
    growth = report(r, up, down, args, time.monotonic() - start)
    with open("/proc/loadavg") as f:
        print(f"load average at the end: {' '.join(f.read().split()[:3])}")
    if r["attack"]["done"] < args.registrations:
        print(f"the run failed: the attacker finished {r['attack']['done']} of {args.registrations} registrations "
              "in its time", file=sys.stderr)
        return 2
    p = r["port"]
    lost_bytes = (up["missing"] + up["duplicated"] + up["arrived unsent"] + p["corrupt"] + p["misrouted"]
                  + down["missing"] + down["duplicated"] + down["corrupt"] + down["misrouted"] + sum(r["unsent bytes"]))
    faults = []
    if r["lost"]:
        faults.append(f"{len(r['lost'])} bound devices lost their link")
    if lost_bytes:
        faults.append("messages of bound devices were lost, duplicated or damaged")
    if sum(r["attack"]["bytes received"].values()):
        faults.append("the attacker received bytes")
    if growth > RSS_GROWTH_LIMIT:
        faults.append(f"RSS grew {100 * growth:.1f} %")
    print("result: " + ("; ".join(faults) if faults else "no bound device lost its link or a byte, RSS within the limit"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
