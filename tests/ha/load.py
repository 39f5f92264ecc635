"""Requests to a Korvat server at a steady rate, the replies counted as they come.

Usage: load.py VIP CLIENT SECONDS [KILL_PID KILL_AT]
Sends 50 requests a second from CLIENT to VIP port 6645 for SECONDS, each on its own
connection, and takes the replies on CLIENT port 6646. With KILL_PID it ends that process
KILL_AT seconds in. Prints "loaded" once a second of requests has been answered, then at the
end: sent, answered, lost, the longest time without an answer in ms (the time clients saw no
server), and the addresses the replies came from.
"""
import os
import signal
import socket
import sys
import threading
import time

RATE = 50
FRAME = b"{Brevane Request Date and Time}"

vip, client, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
kill_pid = int(sys.argv[4]) if len(sys.argv) > 4 else 0
kill_at = float(sys.argv[5]) if len(sys.argv) > 5 else 0.0

arrivals = []
peers = set()
lock = threading.Lock()
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind((client, 6646))
listener.listen(256)


def take(conn, peer):
    conn.settimeout(2)
    data = b""
    try:
        while chunk := conn.recv(256):
            data += chunk
    except OSError:
        pass
    conn.close()
    if data.startswith(b"{KORVAT"):
        with lock:
            arrivals.append(time.monotonic())
            peers.add(peer)


def accept():
    while True:
        conn, (peer, _) = listener.accept()
        threading.Thread(target=take, args=(conn, peer), daemon=True).start()


def request():
    try:
        with socket.create_connection((vip, 6645), timeout=0.5, source_address=(client, 0)) as s:
            s.sendall(FRAME)
    except OSError:
        pass


threading.Thread(target=accept, daemon=True).start()
start = time.monotonic()
sent = 0
said_loaded = killed = False
while (now := time.monotonic()) < start + seconds:
    if kill_pid and not killed and now >= start + kill_at:
        os.kill(kill_pid, signal.SIGKILL)
        killed = True
    threading.Thread(target=request, daemon=True).start()
    sent += 1
    with lock:
        answered = len(arrivals)
    if not said_loaded and answered >= RATE:
        print("loaded", flush=True)
        said_loaded = True
    time.sleep(max(0.0, start + sent / RATE - time.monotonic()))
# Late replies: each within 2 s of its request at most.
deadline = time.monotonic() + 3
while time.monotonic() < deadline:
    with lock:
        if len(arrivals) >= sent:
            break
    time.sleep(0.05)
with lock:
    times = sorted(arrivals)
gaps = [b - a for a, b in zip([start] + times, times + [start + seconds])]
print(f"sent {sent} answered {len(times)} lost {sent - len(times)} "
      f"longest-silence-ms {max(gaps) * 1000:.0f} replies-from {','.join(sorted(peers))}", flush=True)
