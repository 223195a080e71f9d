#!/usr/bin/env python3
"""A TLS device made with Python's ssl module, for vantreld's tests: connects to
127.0.0.1:PORT checking the server's certificate against CA and showing CERT/KEY, registers
as device NUMBER, sends GREETING, then sends back every byte it gets until it has echoed
ECHO bytes, and closes. Prints the protocol version and the count.

usage: TlsPythonDevice.py PORT CA CERT KEY NUMBER GREETING ECHO"""
import socket
import ssl
import struct
import sys


def main():
    if len(sys.argv) != 8:
        sys.exit(__doc__)
    port, ca, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    number, greeting, echo = int(sys.argv[5]), sys.argv[6].encode(), int(sys.argv[7])
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    # The test's server certificate names 127.0.0.1 as its common name only; its chain is
    # still checked.
    context.check_hostname = False
    context.load_verify_locations(ca)
    context.load_cert_chain(cert, key)
    registration = struct.pack("<I", number) + b"13912345678\0" + bytes([10, 1, 2, 3]) + b"\0"
    with socket.create_connection(("127.0.0.1", port), timeout=30) as raw:
        with context.wrap_socket(raw) as tls:
            tls.sendall(registration)
            tls.sendall(greeting)
            echoed = 0
            while echoed < echo:
                data = tls.recv(min(16384, echo - echoed))
                if not data:
                    sys.exit(f"the server ended the link after {echoed} of {echo} bytes")
                tls.sendall(data)
                echoed += len(data)
            print(f"{tls.version()}: echoed {echoed} bytes", flush=True)


if __name__ == "__main__":
    main()
