#!/usr/bin/env python3
"""The terminal's applications for the stack tests against the Linux kernel,
run inside the test's network namespace (the host is 1.1.1.1 there).

Transfers use the test stream of the serial simulator's applications
(word k of seed s is x = (k + s) * 2654435761 mod 2**32, then x ^ (x >> 15),
little-endian) and report zlib's CRC-32, so the test checks what arrived
without shipping it back. Servers take one connection and print LISTENING
once bound; each result is one line on stdout.

  sink PORT [--rcvbuf N] [--hold FILE]
        reads until the host's FIN: "SINK <bytes> <crc32>", or on a reset
        "SINK-RESET <bytes>". With --hold it accepts ("ACCEPTED") but reads
        nothing until FILE exists, so its window closes.
  source PORT
        reads "<bytes> fin|half|rst <seed>\\n" and sends that much of the
        stream: "SENT <bytes>"; then fin: closes; half: shuts down its
        sending side and reads until the host's FIN, "GOT <bytes> <crc32>";
        rst: once every byte is acknowledged, resets: "RESET-SENT <bytes>".
  connect HOST PORT BYTES SEED
        active open, sends BYTES of the stream, closes, waits for the host's
        FIN: "CONNECT SENT <bytes>" or "CONNECT FAILED <errno name>".
  probe-tcp HOST PORT     connect: "REFUSED" (a reset) or "CONNECTED"
  probe-udp HOST PORT     one datagram, then a receive: "REFUSED" (ICMP
                          port unreachable), "ANSWERED" or "SILENT"
  probe-proto HOST PROTO  one raw IP datagram of protocol PROTO:
                          "PROTO-UNREACHABLE" when an ICMP type 3 code 2
                          quoting it comes back, else "SILENT"
Exit status 0 unless the arguments or the transfer were wrong.
"""
import array
import errno
import fcntl
import os
import select
import socket
import struct
import sys
import termios
import time
import zlib

DEADLINE_S = 120


def pattern(offset, length, seed):
    """Bytes [offset, offset + length) of the stream."""
    first = offset // 4
    last = (offset + length + 3) // 4
    words = array.array("I", (
        (x ^ (x >> 15)) for x in (((k + seed) * 2654435761) & 0xFFFFFFFF for k in range(first, last))))
    if sys.byteorder != "little":
        words.byteswap()
    data = words.tobytes()
    start = offset - first * 4
    return data[start:start + length]


def say(*words):
    # One write per line, so a reader never sees half of it.
    sys.stdout.write(" ".join(str(w) for w in words) + "\n")
    sys.stdout.flush()


def listen_once(port, rcvbuf=None):
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if rcvbuf:
        # Set before listen so the accepted socket inherits it (and its
        # window) from the start.
        srv.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    srv.bind(("0.0.0.0", port))
    srv.listen(1)
    say("LISTENING")
    srv.settimeout(DEADLINE_S)
    conn, _ = srv.accept()
    srv.close()
    conn.settimeout(DEADLINE_S)
    return conn


def read_to_end(conn, first=b""):
    """(bytes, crc, reset) of first and everything until the peer's FIN or
    reset."""
    total, crc = len(first), zlib.crc32(first)
    while True:
        try:
            data = conn.recv(65536)
        except ConnectionResetError:
            return total, crc, True
        if not data:
            return total, crc, False
        total += len(data)
        crc = zlib.crc32(data, crc)


def send_stream(conn, length, seed):
    chunk = 256 * 1024
    for off in range(0, length, chunk):
        conn.sendall(pattern(off, min(chunk, length - off), seed))


def sink(port, rcvbuf, hold):
    conn = listen_once(port, rcvbuf)
    if hold:
        say("ACCEPTED")
        end = time.monotonic() + DEADLINE_S
        while not os.path.exists(hold):
            if time.monotonic() > end:
                say("HOLD-TIMEOUT")
                return 1
            time.sleep(0.02)  # a file has no descriptor to wait on
    total, crc, reset = read_to_end(conn)
    if reset:
        say("SINK-RESET", total)
    else:
        say("SINK", total, "%08x" % crc)
    conn.close()
    return 0


def unacknowledged(conn):
    return struct.unpack("i", fcntl.ioctl(conn.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0]


def source(port):
    conn = listen_once(port)
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    request = b""
    while b"\n" not in request:
        data = conn.recv(256)
        if not data or len(request) > 64:
            say("BAD-REQUEST")
            return 1
        request += data
    line, rest = request.split(b"\n", 1)
    words = line.split()
    if len(words) != 3 or words[1] not in (b"fin", b"half", b"rst"):
        say("BAD-REQUEST")
        return 1
    length, mode, seed = int(words[0]), words[1].decode(), int(words[2])
    send_stream(conn, length, seed)
    say("SENT", length)
    if mode == "fin":
        conn.close()  # the FIN follows the data still queued
    elif mode == "half":
        conn.shutdown(socket.SHUT_WR)
        total, crc, reset = read_to_end(conn, rest)
        say("RESET" if reset else "GOT", total, "%08x" % crc)
        conn.close()
    else:
        end = time.monotonic() + DEADLINE_S
        while unacknowledged(conn) > 0:
            if time.monotonic() > end:
                say("ACK-TIMEOUT")
                return 1
            time.sleep(0.01)  # the send queue has no event of its own
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()
        say("RESET-SENT", length)
    return 0


def connect(host, port, length, seed):
    conn = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    conn.settimeout(DEADLINE_S)
    try:
        conn.connect((host, port))
        send_stream(conn, length, seed)
        conn.shutdown(socket.SHUT_WR)
        read_to_end(conn)
    except OSError as e:
        say("CONNECT", "FAILED", errno.errorcode.get(e.errno, str(e)))
        return 0
    say("CONNECT", "SENT", length)
    conn.close()
    return 0


def probe_tcp(host, port):
    conn = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    conn.settimeout(30)
    try:
        conn.connect((host, port))
        say("CONNECTED")
    except ConnectionRefusedError:
        say("REFUSED")
    except OSError as e:
        say("FAILED", errno.errorcode.get(e.errno, str(e)))
    return 0


def probe_udp(host, port):
    conn = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    conn.connect((host, port))
    conn.send(b"anyone there?")
    conn.settimeout(10)
    try:
        conn.recv(2048)
        say("ANSWERED")
    except ConnectionRefusedError:
        say("REFUSED")
    except socket.timeout:
        say("SILENT")
    return 0


def probe_proto(host, proto):
    icmp = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, proto)
    payload = b"who speaks this protocol?"
    raw.sendto(payload, (host, 0))
    end = time.monotonic() + 10
    while time.monotonic() < end:
        ready, _, _ = select.select([icmp], [], [], max(0.0, end - time.monotonic()))
        if not ready:
            break
        packet, (sender, _) = icmp.recvfrom(65535)
        ihl = (packet[0] & 0x0F) * 4
        body = packet[ihl:]
        if sender != host or len(body) < 8 + 20 or body[0] != 3 or body[1] != 2:
            continue
        quoted = body[8:]
        if quoted[9] == proto and quoted[20:20 + 8] == payload[:8]:
            say("PROTO-UNREACHABLE")
            return 0
    say("SILENT")
    return 0


def main(argv):
    try:
        if argv[0] == "sink":
            port = int(argv[1])
            opts = dict(zip(argv[2::2], argv[3::2]))
            return sink(port, int(opts.get("--rcvbuf", "0")), opts.get("--hold"))
        if argv[0] == "source" and len(argv) == 2:
            return source(int(argv[1]))
        if argv[0] == "connect" and len(argv) == 5:
            return connect(argv[1], int(argv[2]), int(argv[3]), int(argv[4]))
        if argv[0] == "probe-tcp" and len(argv) == 3:
            return probe_tcp(argv[1], int(argv[2]))
        if argv[0] == "probe-udp" and len(argv) == 3:
            return probe_udp(argv[1], int(argv[2]))
        if argv[0] == "probe-proto" and len(argv) == 3:
            return probe_proto(argv[1], int(argv[2]))
    except (IndexError, ValueError):
        pass
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
