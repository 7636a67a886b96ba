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
  multi HOST PORT N IP DPORT RELEASE_FILE
                              N clients at once, each retrying its connection
                              to the proxy until accepted (a busy proxy
                              refuses), then CONNECT to the echo server at
                              IP:DPORT and one echo round trip; prints
                              "SERVED <i>" at once, holds the connection
                              until RELEASE_FILE exists, closes it and prints
                              "CLOSED <i>"; a client that fails prints
                              "FAILED <i> <why>"; finally "DONE <served>"
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


def main(argv):
    if len(argv) >= 4 and argv[1] == "steps":
        return steps(argv[2], int(argv[3]), argv[4:])
    if len(argv) == 8 and argv[1] == "multi":
        return multi(argv[2], int(argv[3]), int(argv[4]), argv[5], int(argv[6]), argv[7])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
