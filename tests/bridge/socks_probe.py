#!/usr/bin/env python3
"""A raw SOCKS 5 client for the terminal's side of the proxy tests.

  steps HOST PORT STEP...     one connection, then each step in order:
                                send:HEX       send these bytes
                                recv:N:SECS    read until N bytes or SECS
                                               pass; prints "RECV <hex>" or
                                               "RECV none"
                                close          close the connection
                              prints "CONNECT-FAILED <errno>" when refused
  multi HOST PORT N IP DPORT UNTIL_FILE
                              N connections at once, each CONNECT to IP:DPORT;
                              prints "CONN <i> OK" (reply 0 received and one
                              echo round trip checked) or "CONN <i> FAILED
                              <why>", then "HELD <ok count>", keeps every
                              connection open until UNTIL_FILE exists, closes
                              them and prints "CLOSED"
"""
import os
import socket
import struct
import sys
import threading
import time


def recv_until(s, n, secs):
    s.settimeout(0.2)
    data = b""
    end = time.time() + secs
    while len(data) < n and time.time() < end:
        try:
            chunk = s.recv(n - len(data))
        except socket.timeout:
            continue
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    return data


def steps(host, port, items):
    s = socket.socket()
    s.settimeout(10)
    try:
        s.connect((host, port))
    except OSError as e:
        print("CONNECT-FAILED", e.errno, flush=True)
        return 0
    for item in items:
        parts = item.split(":")
        if parts[0] == "send":
            s.sendall(bytes.fromhex(parts[1]))
        elif parts[0] == "recv":
            data = recv_until(s, int(parts[1]), float(parts[2]))
            print("RECV", data.hex() if data else "none", flush=True)
        elif parts[0] == "close":
            s.close()
            return 0
    s.close()
    return 0


def multi(host, port, n, ip, dport, until_file):
    request = b"\x05\x01\x00\x01" + socket.inet_aton(ip) + struct.pack(">H", dport)
    conns = [None] * n
    results = [None] * n

    def one(i):
        s = socket.socket()
        s.settimeout(8)
        try:
            s.connect((host, port))
            s.sendall(b"\x05\x01\x00")
            if recv_until(s, 2, 8) != b"\x05\x00":
                raise RuntimeError("no method reply")
            s.sendall(request)
            reply = recv_until(s, 10, 20)
            if len(reply) != 10 or reply[1] != 0:
                raise RuntimeError("reply " + reply.hex())
            msg = ("ping %d" % i).encode()
            s.sendall(msg)
            if recv_until(s, len(msg), 20) != msg:
                raise RuntimeError("no echo")
            conns[i] = s
            results[i] = "OK"
        except Exception as e:  # noqa: BLE001 - reported, not raised
            results[i] = "FAILED " + (type(e).__name__ + ":" + str(e)).replace(" ", "_")
            s.close()

    threads = [threading.Thread(target=one, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, r in enumerate(results):
        print("CONN", i, r, flush=True)
    print("HELD", sum(1 for r in results if r == "OK"), flush=True)
    end = time.time() + 300
    while not os.path.exists(until_file) and time.time() < end:
        time.sleep(0.05)
    for s in conns:
        if s:
            s.close()
    print("CLOSED", flush=True)
    return 0


def main(argv):
    if len(argv) >= 4 and argv[1] == "steps":
        return steps(argv[2], int(argv[3]), argv[4:])
    if len(argv) == 8 and argv[1] == "multi":
        return multi(argv[2], int(argv[3]), int(argv[4]), argv[5], int(argv[6]), argv[7])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
