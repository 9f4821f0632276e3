"""A program whose daemon thread waits in a client when the main thread ends:
python exit_program.py PORT released|kept WAIT_SECONDS BALLAST. The device never
answers; the main thread prints "ending" and ends once the wait has begun
(with the lock kept, once the wait let it run). BALLAST objects make the
interpreter's finalization last long enough for the wait's lock polls (every
50 ms) to fall into it, as the objects of a real program do."""

import sys
import threading

from vyre_client import VYREClient

port, mode, wait, ballast_size = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
waiting = threading.Event()
ballast = [[n] for n in range(ballast_size)]


def wait_in_client():
    client = VYREClient(port)
    client.release_gil = mode == "released"
    client.start()
    waiting.set()
    client.get_device_info(timeout_seconds=wait)


threading.Thread(target=wait_in_client, daemon=True).start()
waiting.wait()
print("ending", flush=True)
