"""q48-service as a process: how it stops, and where its settings come from."""
import json
import os
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from service_fixture import BIN, ENV, Emulator, Service

SHOP = "https://shop.example"


class Stopping(unittest.TestCase):
    def test_a_running_card_read_is_answered_whole_and_event_streams_end(self):
        # The read-card answer comes in two pieces a second apart.
        emulator = Emulator("--split", "100", "--pause-ms", "1000")
        self.addCleanup(emulator.close)
        service = Service("--watch-interval", "600000", device=emulator.device)  # one read per listener
        events = socket.create_connection(("127.0.0.1", service.port), timeout=15)
        self.addCleanup(events.close)
        events.sendall(b"GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % service.port)
        self.assertIn(b"text/event-stream", events.recv(4096))
        time.sleep(2.5)  # the watcher's first read has been answered
        answers = []
        reader = threading.Thread(target=lambda: answers.append(service.post("/v1/card")))
        reader.start()
        # A client whose kept-alive connection was open before the stop.
        kept = socket.create_connection(("127.0.0.1", service.port), timeout=15)
        self.addCleanup(kept.close)
        asset = b"GET /favicon.svg HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % service.port
        kept.sendall(asset)
        self.assertIn(b"200 OK", kept.recv(65536))
        time.sleep(0.5)  # the read is under way
        started = time.monotonic()
        service.process.terminate()
        rest = b""
        while True:
            chunk = events.recv(4096)
            if not chunk:
                break
            rest += chunk
        self.assertLess(time.monotonic() - started, 1.0, "the event stream was not ended at once")
        # A new request on it is refused, and the connection closed.
        kept.sendall(asset)
        refused = b""
        while True:
            chunk = kept.recv(65536)
            if not chunk:
                break
            refused += chunk
        self.assertTrue(refused.startswith(b"HTTP/1.1 503"), refused)
        self.assertIn(b"the service is stopping", refused)
        reader.join(timeout=30)
        status, _, card = answers[0]
        self.assertEqual((status, card["result"]), (200, 0))
        self.assertEqual(service.process.wait(timeout=30), 0)
        log = service.log()
        self.assertLess(log.index("stopping on SIGTERM"), log.index("POST /v1/card 200"))
        self.assertEqual(service.close(), 0)


class SettingSources(unittest.TestCase):
    def test_help_names_every_setting_with_its_default(self):
        run = subprocess.run([os.path.join(BIN, "q48-service"), "--help"], capture_output=True, timeout=30, env=ENV)
        lines = run.stdout.decode().splitlines()
        for option, default in (("--listen ADDR:PORT", "(default 127.0.0.1:18848)"), ("--port DEVICE", ""),
                                ("--allow-origin ORIGIN", ""), ("--watch-interval MS", "(default 1000)")):
            line = next((l for l in lines if l.strip().startswith(option)), "")
            self.assertGreater(len(line.strip()), len(option) + 20, "no help for " + option)
            self.assertIn(default, line)

    def test_the_command_line_overrides_the_file_key_by_key(self):
        emulator = Emulator()
        self.addCleanup(emulator.close)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "q48-service.json")
            with open(path, "w") as f:
                json.dump({"port": emulator.device, "allow-origin": ["https://other.example"],
                           "watch-interval": 500}, f)
            service = Service("--config", path, "--allow-origin", SHOP)
            try:
                status, headers, out = service.post("/v1/card-type", headers={"Origin": SHOP})
                self.assertEqual((status, headers["Access-Control-Allow-Origin"], out["result"]), (200, SHOP, 1))
                self.assertEqual(service.post("/v1/card-type", headers={"Origin": "https://other.example"})[0], 403)
                self.assertIn("settings from %s and the command line" % path, service.log())
                self.assertIn("every 500 ms", service.log())
            finally:
                self.assertEqual(service.close(), 0)
            run = subprocess.run([os.path.join(BIN, "q48-service"), "--config", path, "--watch-interval", "49"],
                                 capture_output=True, timeout=30, env=ENV)
            self.assertEqual(run.returncode, 1)
            self.assertIn(b"--watch-interval 49: give 50 to 600000 milliseconds", run.stderr)


if __name__ == "__main__":
    unittest.main()
