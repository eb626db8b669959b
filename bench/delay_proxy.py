"""A loopback TCP proxy that adds a fixed delay each way, like a distant server.

Every chunk read from one side is forwarded to the other `delay` seconds after
it arrived. Chunks are queued with their arrival time and sent by a second
thread, so the delay is latency, not a limit on throughput: a burst of chunks
arrives one delay later, together, as it would across a network.

    with DelayProxy(("127.0.0.1", 5000), delay=0.020) as proxy:
        print(proxy.uri)   # http://127.0.0.1:<port>, 20 ms each way in front of :5000
"""
import queue
import socket
import threading
import time


class DelayProxy:
    def __init__(self, target, delay):
        self.target = target
        self.delay = delay
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(128)
        self.port = self._listener.getsockname()[1]
        self.uri = "http://127.0.0.1:{}".format(self.port)
        self._closed = threading.Event()
        self._sockets = set()
        self._lock = threading.Lock()
        threading.Thread(target=self._accept_loop, name="delay-proxy-accept", daemon=True).start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._closed.set()
        for s in [self._listener] + list(self._sockets):
            try:
                s.close()
            except OSError:
                pass

    def _track(self, s):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with self._lock:
            self._sockets.add(s)

    def _accept_loop(self):
        while not self._closed.is_set():
            try:
                downstream, _ = self._listener.accept()
            except OSError:
                return
            try:
                upstream = socket.create_connection(self.target, timeout=10)
                upstream.settimeout(None)
            except OSError:
                downstream.close()
                continue
            self._track(downstream)
            self._track(upstream)
            pending = [2]  # directions still open; the last one closes both sockets
            for src, dst in ((downstream, upstream), (upstream, downstream)):
                self._pipe(src, dst, downstream, upstream, pending)

    def _pipe(self, src, dst, a, b, pending):
        chunks = queue.Queue()

        def read():
            while True:
                try:
                    data = src.recv(65536)
                except OSError:
                    data = b""
                chunks.put((time.monotonic() + self.delay, data))
                if not data:
                    return

        def send():
            while True:
                due, data = chunks.get()
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                try:
                    if data:
                        dst.sendall(data)
                        continue
                    dst.shutdown(socket.SHUT_WR)
                except OSError:
                    # One side is gone: wake the other direction's reader too.
                    for s in (a, b):
                        try:
                            s.shutdown(socket.SHUT_RDWR)
                        except OSError:
                            pass
                break
            with self._lock:
                pending[0] -= 1
                done = pending[0] == 0
                if done:
                    self._sockets.discard(a)
                    self._sockets.discard(b)
            if done:
                a.close()
                b.close()

        threading.Thread(target=read, name="delay-proxy-read", daemon=True).start()
        threading.Thread(target=send, name="delay-proxy-send", daemon=True).start()
