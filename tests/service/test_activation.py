"""q48-service started as systemd starts it from q48-service.socket: on the first connection, with the
listening socket handed over (systemd-socket-activate plays systemd; no systemd as PID 1 is needed)."""
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from service_fixture import BIN, ENV, Emulator, Service, wait_for

ACTIVATE = shutil.which("systemd-socket-activate")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Activated:
    """systemd-socket-activate holding 127.0.0.1:port, starting q48-service on the first connection."""

    def __init__(self, *flags, datagram=False):
        self.tmp = tempfile.TemporaryDirectory()
        self.log_path = os.path.join(self.tmp.name, "service.log")
        for _ in range(5):  # another program may take the free port first
            self.port = free_port()
            # It passes only a few variables on: the decoder's folder and the portrait folder are given.
            args = [ACTIVATE, "-l", "127.0.0.1:%d" % self.port, *(["--datagram"] if datagram else []),
                    "-E", "LD_LIBRARY_PATH=" + ENV["LD_LIBRARY_PATH"], "-E", "XDG_CACHE_HOME=" + self.tmp.name,
                    os.path.join(BIN, "q48-service"), *flags]
            with open(self.log_path, "w") as log:
                self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=log, env=ENV)
            if wait_for(lambda: "Listening on" in self.log() or self.process.poll() is not None):
                if self.process.poll() is None:
                    return
            self.process.kill()
            self.process.wait()
        raise RuntimeError("systemd-socket-activate did not listen: " + self.log())

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def request(self, raw, timeout=30):
        """The whole answer to one raw request, on a new connection that asks the service to close it."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as connection:
            connection.sendall(raw)
            data = b""
            while chunk := connection.recv(65536):
                data += chunk
            return data

    def close(self):
        """Stops it (once); its exit status. Raises when a sanitizer reported anything."""
        if self.tmp is None:
            return self.process.returncode
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=60)
        log = self.log()
        self.tmp.cleanup()
        self.tmp = None
        if "Sanitizer" in log:
            raise AssertionError("the sanitizer reported:\n" + log[max(0, log.find("==")):][:4000])
        return self.process.returncode


@unittest.skipUnless(ACTIVATE, "systemd-socket-activate is missing (scripts/setup.sh installs systemd)")
class SocketActivation(unittest.TestCase):
    def setUp(self):
        self.emulator = Emulator()
        self.addCleanup(self.emulator.close)

    def read_card(self, service):
        body = b"{}"
        return service.request(b"POST /v1/card HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
                               b"Content-Length: %d\r\nConnection: close\r\n\r\n%s" % (service.port, len(body), body))

    def test_the_first_connection_starts_it_and_is_answered_through_the_handed_socket(self):
        # The listen setting names another port: the handed socket decides, and the Host gate follows it.
        service = Activated("--listen", "127.0.0.1:0", "--idle-exit", "0", "--port", self.emulator.device)
        self.addCleanup(service.close)
        self.assertNotIn("listening on", service.log())  # nothing runs before a connection
        answer = self.read_card(service)
        self.assertTrue(answer.startswith(b"HTTP/1.1 200"), answer[:300])
        self.assertIn(b'"result":0,', answer)
        self.assertIn(b"data:image/jpeg;base64,", answer)
        self.assertTrue(self.read_card(service).startswith(b"HTTP/1.1 200"), "a second connection")
        log = service.log()
        self.assertIn("listening on 127.0.0.1:%d (the socket systemd handed over" % service.port, log)
        self.assertIsNone(service.process.poll(), "idle-exit 0 must keep it running")
        self.assertEqual(service.close(), 0)

    def test_it_exits_once_no_connection_is_open_for_idle_exit_seconds(self):
        service = Activated("--idle-exit", "1", "--port", self.emulator.device)
        self.addCleanup(service.close)
        # An open event stream is a connection in use: the service stays.
        events = socket.create_connection(("127.0.0.1", service.port), timeout=15)
        self.addCleanup(events.close)
        events.sendall(b"GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % service.port)
        self.assertIn(b"text/event-stream", events.recv(4096))
        time.sleep(2.5)
        self.assertIsNone(service.process.poll(), "it exited while an event stream was open")
        events.close()
        closed = time.monotonic()
        self.assertEqual(service.process.wait(timeout=30), 0)
        self.assertGreater(time.monotonic() - closed, 0.8, "it did not wait for the idle time")
        self.assertIn("stopping on no connection for 1 s", service.log())

    def test_a_socket_it_cannot_serve_is_refused_with_the_reason(self):
        service = Activated("--port", self.emulator.device, datagram=True)
        self.addCleanup(service.close)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.sendto(b"x", ("127.0.0.1", service.port))
        self.assertEqual(service.process.wait(timeout=30), 1)
        self.assertIn("not a listening TCP socket", service.log())


class RunByHand(unittest.TestCase):
    def test_it_binds_its_listen_setting_and_never_exits_for_idleness(self):
        # Variables meant for another process (a parent that was socket-activated) are not taken.
        emulator = Emulator()
        self.addCleanup(emulator.close)
        ENV.update(LISTEN_PID="1", LISTEN_FDS="1")
        try:
            service = Service("--idle-exit", "1", device=emulator.device)
        finally:
            del ENV["LISTEN_PID"], ENV["LISTEN_FDS"]
        self.addCleanup(service.close)
        time.sleep(2.5)
        self.assertIsNone(service.process.poll(), "a service run by hand exited for idleness")
        status, _, card = service.post("/v1/card-type")
        self.assertEqual((status, card["result"]), (200, 1))
        self.assertNotIn("handed over", service.log())
        self.assertEqual(service.close(), 0)


if __name__ == "__main__":
    unittest.main()
