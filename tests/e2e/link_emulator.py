"""A distant server on loopback: a TCP proxy on 127.0.0.1 in front of a local server that delays
each direction by half a round trip, paces the downstream at a line's rate, and charges one round
trip for each new connection (the handshake a real connection costs). Shared by the end-to-end
tests and the bench, so that every figure about distant servers comes from the same link.

    with LinkEmulator(listen_port=18480, upstream_port=18483, rtt_ms=60, down_bytes_per_s=50e6 / 8) as link:
        ... clients talk to 127.0.0.1:18480 ...
        link.down_bytes, link.connections

The downstream rate is one line shared by every connection, as a home line is; the upstream is
only delayed. Each direction keeps its byte order; a close of one side reaches the other after the
same delay."""
import asyncio
import socket
import threading
import time

CHUNK = 16 * 1024


class LinkEmulator:
    def __init__(self, listen_port, upstream_port, rtt_ms, down_bytes_per_s=None, host="127.0.0.1"):
        self.listen_port = listen_port
        self.upstream_port = upstream_port
        self.half_rtt = rtt_ms / 2000.0
        self.rate = down_bytes_per_s
        self.host = host
        self.down_bytes = 0
        self.up_bytes = 0
        self.connections = 0
        self._down_free_at = 0.0
        self._loop = None
        self._thread = None
        self._server = None
        self._ready = threading.Event()
        self._error = None

    def __enter__(self):
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        self._ready.wait(10)
        if self._error or not self._server:
            raise RuntimeError(f"link emulator did not start: {self._error}")
        return self

    def __exit__(self, *exc):
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)

    def _run(self):
        self._loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self._loop)
        try:
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((self.host, self.listen_port))
            self._server = self._loop.run_until_complete(asyncio.start_server(self._serve, sock=sock))
        except Exception as e:  # reported by __enter__
            self._error = e
            self._ready.set()
            return
        self._ready.set()
        try:
            self._loop.run_forever()
        finally:
            self._server.close()
            tasks = asyncio.all_tasks(self._loop)
            for task in tasks:
                task.cancel()
            self._loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
            self._loop.close()

    def _down_slot(self, n):
        """When n bytes leave the server side, given the line's rate shared by all connections."""
        now = time.monotonic()
        if not self.rate:
            return now
        start = max(now, self._down_free_at)
        self._down_free_at = start + n / self.rate
        return self._down_free_at

    async def _serve(self, client_reader, client_writer):
        self.connections += 1
        # The handshake: the client's first bytes reach the server a round trip after its
        # connect, and the server's reply is half a round trip more away.
        await asyncio.sleep(2 * self.half_rtt)
        try:
            up_reader, up_writer = await asyncio.open_connection(self.host, self.upstream_port)
        except OSError:
            client_writer.close()
            return
        for w in (client_writer, up_writer):
            w.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        await asyncio.gather(self._pump(client_reader, up_writer, downstream=False),
                             self._pump(up_reader, client_writer, downstream=True), return_exceptions=True)
        for w in (client_writer, up_writer):
            w.close()

    async def _pump(self, reader, writer, downstream):
        queue = asyncio.Queue()

        async def deliver():
            while True:
                due, data = await queue.get()
                delay = due - time.monotonic()
                if delay > 0:
                    await asyncio.sleep(delay)
                if data is None:
                    return
                try:
                    writer.write(data)
                    await writer.drain()
                except (ConnectionError, OSError):
                    writer.transport.abort()
                    return

        sender = asyncio.ensure_future(deliver())
        aborted = False
        try:
            while True:
                try:
                    data = await reader.read(CHUNK)
                except (ConnectionError, OSError):
                    aborted = True
                    data = b""
                if not data:
                    break
                if downstream:
                    self.down_bytes += len(data)
                    due = self._down_slot(len(data)) + self.half_rtt
                else:
                    self.up_bytes += len(data)
                    due = time.monotonic() + self.half_rtt
                queue.put_nowait((due, data))
            queue.put_nowait((time.monotonic() + self.half_rtt, None))
            await sender
            if aborted:
                writer.transport.abort()
            elif writer.can_write_eof():
                writer.write_eof()
        except (ConnectionError, OSError):
            writer.transport.abort()
        finally:
            sender.cancel()
