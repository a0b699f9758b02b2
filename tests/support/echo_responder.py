#!/usr/bin/env python3
"""Answers ICMP echo requests from a raw socket, in a network namespace whose kernel answers none.

  echo_responder.py 4|6 DELAY_MS [pattern]

Each request is answered after DELAY_MS. With "pattern", request n (from 0) is lost when n % 4 == 3,
else answered after 10 ms (n even) or 30 ms (n odd); request 1 is answered again 200 ms later and
request 0 also gets a reply to the sequence before its own. Says "ready <pid>"; ends at SIGTERM.
"""
import heapq, itertools, os, select, socket, struct, sys, time

v6, delay, pattern = sys.argv[1] == "6", float(sys.argv[2]) / 1000, sys.argv[3:] == ["pattern"]
sock = socket.socket(socket.AF_INET6 if v6 else socket.AF_INET, socket.SOCK_RAW,
                     socket.IPPROTO_ICMPV6 if v6 else socket.IPPROTO_ICMP)
print("ready", os.getpid(), flush=True)


def reply(icmp, seq):  # the kernel sums an ICMPv6 packet; an ICMP one is summed here
    p = bytes([129 if v6 else 0, 0, 0, 0]) + icmp[4:6] + struct.pack("!H", seq & 0xFFFF) + icmp[8:]
    s = sum(struct.unpack(f"!{len(p) // 2}H", p + b"\0" * (len(p) % 2)))
    s = (s & 0xFFFF) + (s >> 16)
    return p if v6 else p[:2] + struct.pack("!H", ~(s + (s >> 16)) & 0xFFFF) + p[4:]


due, order = [], itertools.count()
for n in itertools.count():
    while True:
        while due and due[0][0] <= time.monotonic():
            sock.sendto(*heapq.heappop(due)[2:])
        if select.select([sock], [], [], max(0, due[0][0] - time.monotonic()) if due else None)[0]:
            data, peer = sock.recvfrom(4096)
            icmp = data if v6 else data[(data[0] & 15) * 4:]
            if icmp[0] == (128 if v6 else 8):
                break
    now, seq = time.monotonic(), struct.unpack("!H", icmp[6:8])[0]
    plan = [(delay, seq)]
    if pattern:
        plan = ([] if n % 4 == 3 else [(0.03 if n % 2 else 0.01, seq)]) + \
               [(0.2, seq)] * (n == 1) + [(0, seq - 1)] * (n == 0)
    for wait, s in plan:
        heapq.heappush(due, (now + wait, next(order), reply(icmp, s), peer))
