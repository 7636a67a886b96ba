#!/usr/bin/env python3
"""The terminal's applications for kernel-peer tests, run in the namespace.

  echo-server PORT [--once]   TCP echo on 0.0.0.0:PORT; prints LISTENING
                              when bound; echoes each connection until the
                              peer half-closes, then closes its side
  echo-client HOST PORT BYTES [SEED]
                              connects, sends BYTES pseudo-random bytes
                              while reading the echo, half-closes after the
                              last byte, and checks that exactly the same
                              bytes came back; prints "OK <bytes> <sha256>"
                              and exits 0, else prints the fault, exits 1
  sink-server PORT            TCP receiver; prints LISTENING, then for each
                              connection "RECEIVED <bytes> <sha256>"
  source-client HOST PORT BYTES [SEED]
                              connects, sends BYTES pseudo-random bytes,
                              half-closes and waits for the peer's close;
                              prints "SENT <bytes> <sha256>"
  ping HOST COUNT             ICMP echo requests over a raw socket (needs
                              root); prints "REPLIES <n>", exits 0 when all
                              COUNT were answered
"""
import hashlib
import os
import random
import selectors
import socket
import struct
import sys
import time

DEADLINE_S = 120


def listen(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", port))
    s.listen(8)
    print("LISTENING", flush=True)
    return s


def echo_server(port, once):
    srv = listen(port)
    while True:
        conn, _ = srv.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        total = 0
        while True:
            data = conn.recv(65536)
            if not data:
                break
            conn.sendall(data)
            total += len(data)
        conn.shutdown(socket.SHUT_WR)
        conn.close()
        print("ECHOED", total, flush=True)
        if once:
            return 0


def sink_server(port):
    srv = listen(port)
    while True:
        conn, _ = srv.accept()
        digest = hashlib.sha256()
        total = 0
        while True:
            data = conn.recv(65536)
            if not data:
                break
            digest.update(data)
            total += len(data)
        conn.close()
        print("RECEIVED", total, digest.hexdigest(), flush=True)


def echo_client(host, port, count, seed):
    payload = random.Random(seed).randbytes(count)
    sock = socket.create_connection((host, port), timeout=DEADLINE_S)
    sock.setblocking(False)
    sel = selectors.DefaultSelector()
    sel.register(sock, selectors.EVENT_READ | selectors.EVENT_WRITE)
    sent = 0
    received = bytearray()
    eof = False
    end = time.monotonic() + DEADLINE_S
    while not eof:
        if time.monotonic() > end:
            print("TIMEOUT sent", sent, "received", len(received), flush=True)
            return 1
        for key, mask in sel.select(timeout=1.0):
            if mask & selectors.EVENT_WRITE and sent < count:
                try:
                    sent += sock.send(payload[sent:sent + 65536])
                except BlockingIOError:
                    pass
                if sent == count:
                    sock.shutdown(socket.SHUT_WR)
                    sel.modify(sock, selectors.EVENT_READ)
            if mask & selectors.EVENT_READ:
                try:
                    data = sock.recv(65536)
                except BlockingIOError:
                    continue
                if not data:
                    eof = True
                received += data
    sock.close()
    if bytes(received) != payload:
        first = next((i for i, (a, b) in enumerate(zip(received, payload)) if a != b), min(len(received), count))
        print("MISMATCH received", len(received), "of", count, "first difference at", first, flush=True)
        return 1
    print("OK", count, hashlib.sha256(payload).hexdigest(), flush=True)
    return 0


def source_client(host, port, count, seed):
    payload = random.Random(seed).randbytes(count)
    sock = socket.create_connection((host, port), timeout=DEADLINE_S)
    sock.sendall(payload)
    sock.shutdown(socket.SHUT_WR)
    while sock.recv(65536):
        pass
    sock.close()
    print("SENT", count, hashlib.sha256(payload).hexdigest(), flush=True)
    return 0


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    total = (total >> 16) + (total & 0xFFFF)
    total += total >> 16
    return ~total & 0xFFFF


def ping(host, count):
    sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    ident = os.getpid() & 0xFFFF
    replies = set()
    for seq in range(1, count + 1):
        body = b"ping %d" % seq
        header = struct.pack("!BBHHH", 8, 0, 0, ident, seq)
        header = struct.pack("!BBHHH", 8, 0, checksum(header + body), ident, seq)
        sock.sendto(header + body, (host, 0))
        end = time.monotonic() + 10
        while seq not in replies and time.monotonic() < end:
            sock.settimeout(max(0.01, end - time.monotonic()))
            try:
                packet, _ = sock.recvfrom(65535)
            except socket.timeout:
                break
            ihl = (packet[0] & 0x0F) * 4
            icmp = packet[ihl:ihl + 8]
            if len(icmp) == 8:
                kind, _, _, rid, rseq = struct.unpack("!BBHHH", icmp)
                if kind == 0 and rid == ident:
                    replies.add(rseq)
    print("REPLIES", len(replies), flush=True)
    return 0 if len(replies) == count else 1


def main(argv):
    if len(argv) >= 2 and argv[0] == "echo-server":
        return echo_server(int(argv[1]), "--once" in argv[2:])
    if len(argv) == 2 and argv[0] == "sink-server":
        return sink_server(int(argv[1]))
    if len(argv) in (4, 5) and argv[0] == "echo-client":
        return echo_client(argv[1], int(argv[2]), int(argv[3]), int(argv[4]) if len(argv) == 5 else 1)
    if len(argv) in (4, 5) and argv[0] == "source-client":
        return source_client(argv[1], int(argv[2]), int(argv[3]), int(argv[4]) if len(argv) == 5 else 1)
    if len(argv) == 3 and argv[0] == "ping":
        return ping(argv[1], int(argv[2]))
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
