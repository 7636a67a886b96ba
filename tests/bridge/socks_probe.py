#!/usr/bin/env python3
"""A raw SOCKS 5 client for the terminal's side of the proxy tests.

  steps HOST PORT STEP...     one connection, then each step in order:
                                send:HEX       send these bytes
                                recv:N:SECS    read until N bytes or SECS
                                               pass; prints "RECV <hex>" or
                                               "RECV none"
                                wait:PATH      wait until PATH exists (the
                                               test opens the gate once the
                                               server has done its part)
                                close          close the connection
                              prints "CONNECT-FAILED <errno>" when refused
  steps-retry HOST PORT STEP...
                              the same, retrying a refused connection for up
                              to 120 s (a busy listener refuses meanwhile)
  multi HOST PORT N IP DPORT RELEASE_FILE
                              N clients at once, each retrying its connection
                              to the proxy until accepted (a busy proxy
                              refuses), then CONNECT to the echo server at
                              IP:DPORT and one echo round trip; prints
                              "SERVED <i>" at once, holds the connection
                              until RELEASE_FILE exists, closes it and prints
                              "CLOSED <i>"; a client that fails prints
                              "FAILED <i> <why>"; finally "DONE <served>"
  setup HOST PORT IP DPORT COUNT
                              COUNT SOCKS connections one after the other,
                              each timed from connect() to the CONNECT reply;
                              prints "SETUP_MS <median> <min> <max>"
  download HOST PORT [IP DPORT]
                              reads until the peer closes, directly or
                              through the SOCKS proxy at HOST:PORT to
                              IP:DPORT; prints "DOWNLOAD <bytes> <seconds>"
                              timed from the first byte to the close
  upload HOST PORT BYTES [IP DPORT]
                              sends BYTES, directly or through the proxy, to
                              a sink that answers DONE once it has them all;
                              prints "UPLOAD <bytes> <seconds>" timed from
                              the first byte sent to the answer
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


def steps(host, port, items, retry=False):
    try:
        if retry:
            s = connect_retrying(host, port, 120)
        else:
            s = socket.socket()
            s.settimeout(10)
            s.connect((host, port))
    except OSError as e:
        print("CONNECT-FAILED", e.errno, flush=True)
        return 0
    s.settimeout(10)
    for item in items:
        parts = item.split(":")
        if parts[0] == "send":
            s.sendall(bytes.fromhex(parts[1]))
        elif parts[0] == "recv":
            data = recv_until(s, int(parts[1]), float(parts[2]))
            print("RECV", data.hex() if data else "none", flush=True)
        elif parts[0] == "wait":
            end = time.time() + 120
            while not os.path.exists(parts[1]) and time.time() < end:
                time.sleep(0.02)
        elif parts[0] == "close":
            s.close()
            return 0
    s.close()
    return 0


def connect_retrying(host, port, secs):
    end = time.time() + secs
    while True:
        s = socket.socket()
        s.settimeout(5)
        try:
            s.connect((host, port))
            return s
        except OSError:
            s.close()
            if time.time() > end:
                raise
            time.sleep(0.1)


def multi(host, port, n, ip, dport, release_file):
    request = b"\x05\x01\x00\x01" + socket.inet_aton(ip) + struct.pack(">H", dport)
    served = []
    lock = threading.Lock()

    def one(i):
        s = None
        try:
            s = connect_retrying(host, port, 180)
            s.sendall(b"\x05\x01\x00")
            if recv_until(s, 2, 30) != b"\x05\x00":
                raise RuntimeError("no method reply")
            s.sendall(request)
            reply = recv_until(s, 10, 30)
            if len(reply) != 10 or reply[1] != 0:
                raise RuntimeError("reply " + reply.hex())
            msg = ("ping %d" % i).encode()
            s.sendall(msg)
            if recv_until(s, len(msg), 30) != msg:
                raise RuntimeError("no echo")
            with lock:
                served.append(i)
                print("SERVED", i, flush=True)
            end = time.time() + 300
            while not os.path.exists(release_file) and time.time() < end:
                time.sleep(0.02)
            s.close()
            print("CLOSED", i, flush=True)
        except Exception as e:  # noqa: BLE001 - reported, not raised
            print("FAILED", i, (type(e).__name__ + ":" + str(e)).replace(" ", "_"), flush=True)
            if s:
                s.close()

    threads = [threading.Thread(target=one, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("DONE", len(served), flush=True)
    return 0


def socks_connect(s, ip, dport):
    s.sendall(b"\x05\x01\x00")
    if recv_until(s, 2, 60) != b"\x05\x00":
        raise RuntimeError("no method reply")
    s.sendall(b"\x05\x01\x00\x01" + socket.inet_aton(ip) + struct.pack(">H", dport))
    reply = recv_until(s, 10, 120)
    if len(reply) != 10 or reply[1] != 0:
        raise RuntimeError("reply " + reply.hex())


def setup(host, port, ip, dport, count):
    times = []
    for _ in range(count):
        start = time.monotonic()
        s = connect_retrying(host, port, 60)
        s.settimeout(120)
        socks_connect(s, ip, dport)
        times.append((time.monotonic() - start) * 1000.0)
        s.close()
    times.sort()
    print("SETUP_MS %.1f %.1f %.1f" % (times[len(times) // 2], times[0], times[-1]), flush=True)
    return 0


def download(host, port, ip, dport):
    s = connect_retrying(host, port, 60)
    s.settimeout(300)
    if ip:
        socks_connect(s, ip, dport)
    total = 0
    first = None
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        if first is None:
            first = time.monotonic()
        total += len(chunk)
    seconds = time.monotonic() - first if first else 0.0
    print("DOWNLOAD %d %.3f" % (total, seconds), flush=True)
    return 0


def upload(host, port, count, ip, dport):
    s = connect_retrying(host, port, 60)
    s.settimeout(600)
    if ip:
        socks_connect(s, ip, dport)
    block = bytes(range(256)) * 64
    start = time.monotonic()
    left = count
    while left > 0:
        n = s.send(block[: min(left, len(block))])
        left -= n
    if recv_until(s, 4, 600) != b"DONE":
        raise RuntimeError("no DONE from the sink")
    print("UPLOAD %d %.3f" % (count, time.monotonic() - start), flush=True)
    s.close()
    return 0


def main(argv):
    if len(argv) >= 4 and argv[1] in ("steps", "steps-retry"):
        return steps(argv[2], int(argv[3]), argv[4:], argv[1] == "steps-retry")
    if len(argv) == 8 and argv[1] == "multi":
        return multi(argv[2], int(argv[3]), int(argv[4]), argv[5], int(argv[6]), argv[7])
    if len(argv) == 7 and argv[1] == "setup":
        return setup(argv[2], int(argv[3]), argv[4], int(argv[5]), int(argv[6]))
    if len(argv) in (4, 6) and argv[1] == "download":
        ip, dport = (argv[4], int(argv[5])) if len(argv) == 6 else (None, 0)
        return download(argv[2], int(argv[3]), ip, dport)
    if len(argv) in (5, 7) and argv[1] == "upload":
        ip, dport = (argv[5], int(argv[6])) if len(argv) == 7 else (None, 0)
        return upload(argv[2], int(argv[3]), int(argv[4]), ip, dport)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
