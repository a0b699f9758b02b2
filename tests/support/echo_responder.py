#!/usr/bin/env python3
# echo_responder.py 4|6 DELAY_MS [pattern]: answers ICMP echo requests from a raw socket after DELAY_MS;
# pattern: request n (from 0) lost when n % 4 == 3, else answered after 10 ms (n even) or 30 ms (odd);
# 1 again 200 ms later; 0 with other data first, to the sequence before, and the true reply from
# another address (127.0.0.2, 2001:db8::1). Says ready, then dots.
import heapq, itertools, select, signal, socket, struct, sys, time
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
v6, delay, pattern = sys.argv[1] == "6", float(sys.argv[2]) / 1000, sys.argv[3:] == ["pattern"]
sock = socket.socket(socket.AF_INET6 if v6 else socket.AF_INET, socket.SOCK_RAW, 58 if v6 else 1)
stranger = socket.socket(sock.family, socket.SOCK_RAW, sock.proto)
if pattern: stranger.bind(("2001:db8::1" if v6 else "127.0.0.2", 0))
print("ready", flush=True)
due = []
for n in itertools.count():
    while True:
        while due and due[0][0] <= time.monotonic(): (lambda p, peer, out: out.sendto(p, peer))(*heapq.heappop(due)[2:])
        print(end=".", flush=True)
        if select.select([sock], [], [], min(0.1, max(0, due[0][0] - time.monotonic()) if due else 1))[0]:
            data, peer = sock.recvfrom(4096)
            icmp = data if v6 else data[(data[0] & 15) * 4:]
            if icmp[0] == (128 if v6 else 8): break
    now, seq, body = time.monotonic(), struct.unpack("!H", icmp[6:8])[0], icmp[8:]
    plan = [([] if n % 4 == 3 else [(0.03 if n % 2 else 0.01, seq, body)]) + [(0.2, seq, body)] * (n == 1)
            + [(0, seq, b"?" * len(body)), (0, seq - 1, body), (0, seq, body, stranger)] * (n == 0),
            [(delay, seq, body)]][not pattern]
    for wait, s, data, *via in plan:  # the kernel sums an ICMPv6 packet; an ICMP one is summed here
        p = bytes([129 if v6 else 0, 0, 0, 0]) + icmp[4:6] + struct.pack("!H", s & 0xFFFF) + data
        c = sum(struct.unpack(f"!{len(p) // 2}H", p + b"\0" * (len(p) % 2))) % 0xFFFF
        p = p if v6 else p[:2] + struct.pack("!H", ~c & 0xFFFF) + p[4:]
        heapq.heappush(due, (now + wait, id(p), p, peer, (via + [sock])[0]))
