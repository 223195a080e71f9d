#!/usr/bin/env python3
"""RSS of vantreld with many registered idle devices: the tunnels are written straight
into Info.db's TunnelInfo table, 100 per port, on real ptys (one pair per port, this
script holding the other ends); one TCP connection per device sends its registration
and then nothing.

usage: idle_devices_rss.py BIN_DIR [devices]   (BIN_DIR holds vantreld and English.so)"""
import os, resource, socket, sqlite3, struct, subprocess, sys, tempfile, time, tty

BIN = sys.argv[1]
DEVICES = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
PER_PORT = 100


def free_port():
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    work = tempfile.mkdtemp(prefix="vantrel-rss-")
    env = dict(os.environ, VANTREL_APP_DIR=work, VANTREL_PORT_DIR=work + "/ports")
    os.makedirs(work + "/ports")
    port = free_port()
    run = lambda *a: subprocess.run([BIN + "/vantreld", *a], env=env, check=True, capture_output=True)
    run("settings", "set", "--ip", "127.0.0.1", "--port", str(port), "--delay", "0")
    ports = (DEVICES + PER_PORT - 1) // PER_PORT
    ends = []
    for n in range(1, ports + 1):
        master, slave = os.openpty()
        tty.setraw(master)
        os.symlink(os.ttyname(slave), f"{work}/ports/COM{n}")
        ends.append((master, slave))
    db = sqlite3.connect(work + "/Info.db")
    db.executemany("insert into TunnelInfo values (?, ?, 9600, 8, '1', 'None', '')",
                   [("%08X" % (i + 1), "COM%d" % (i // PER_PORT + 1)) for i in range(DEVICES)])
    db.commit(); db.close()

    proc = subprocess.Popen([BIN + "/vantreld"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.time() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", port)).close(); break
            except OSError:
                if time.time() > deadline: raise
                time.sleep(0.1)
        time.sleep(1)
        started = rss_kb(proc.pid)
        conns = []
        for i in range(DEVICES):
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(struct.pack("<I", i + 1) + b"13912345678\0" + bytes([10, 1, 2, 3]) + b"\0")
            conns.append(s)
        time.sleep(5)
        idle = rss_kb(proc.pid)
        fds = os.listdir(f"/proc/{proc.pid}/fd")
        sockets = sum(1 for fd in fds if os.readlink(f"/proc/{proc.pid}/fd/{fd}").startswith("socket:"))
        print(f"{BIN}: {DEVICES} devices on {ports} ptys ({sockets} sockets open in vantreld): RSS "
              f"{started / 1024:.1f} MB started, {idle / 1024:.1f} MB with every device registered and idle")
        for s in conns: s.close()
    finally:
        proc.terminate(); proc.wait(60)
        for m, s in ends: os.close(m); os.close(s)


main()
