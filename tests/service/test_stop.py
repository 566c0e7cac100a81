"""q48-service as a process: how it stops."""
import socket
import threading
import time
import unittest

from service_fixture import Emulator, Service


def read_to_end(connection):
    """What comes until the service closes the connection."""
    data = b""
    while chunk := connection.recv(65536):
        data += chunk
    return data


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
        read_to_end(events)
        self.assertLess(time.monotonic() - started, 1.0, "the event stream was not ended at once")
        # A new request on it is refused, and the connection closed.
        kept.sendall(asset)
        refused = read_to_end(kept)
        self.assertTrue(refused.startswith(b"HTTP/1.1 503"), refused)
        self.assertIn(b"the service is stopping", refused)
        reader.join(timeout=30)
        status, _, card = answers[0]
        self.assertEqual((status, card["result"]), (200, 0))
        self.assertEqual(service.process.wait(timeout=30), 0)
        log = service.log()
        self.assertLess(log.index("stopping on SIGTERM"), log.index("POST /v1/card 200"))
        self.assertEqual(service.close(), 0)

    def test_requests_waiting_or_unfinished_at_the_stop_get_503_stopping_with_cors(self):
        emulator = Emulator("--pause-ms", "2000")
        self.addCleanup(emulator.close)
        shop = "https://shop.example"
        service = Service("--allow-origin", shop, device=emulator.device)
        head = (b"POST /v1/card HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
                b"Origin: %s\r\nContent-Length: 2\r\n\r\n" % (service.port, shop.encode()))
        clients = []
        for _ in range(3):  # one runs; one waits; one has sent its header only
            clients.append(socket.create_connection(("127.0.0.1", service.port), timeout=15))
            self.addCleanup(clients[-1].close)
            clients[-1].sendall(head + (b"{}" if len(clients) < 3 else b""))
            time.sleep(0.3)
        service.process.terminate()
        started = time.monotonic()
        waiting = read_to_end(clients[1])
        self.assertLess(time.monotonic() - started, 1.5, "not answered before the running read")
        time.sleep(0.3)
        clients[2].sendall(b"{}")
        late = read_to_end(clients[2])
        for answer in (waiting, late):
            self.assertTrue(answer.startswith(b"HTTP/1.1 503 "), answer)
            self.assertIn(b"\r\nAccess-Control-Allow-Origin: https://shop.example\r\n", answer)
            self.assertTrue(answer.endswith(b'\r\n\r\n{"error":"the service is stopping"}'), answer)
        self.assertTrue(read_to_end(clients[0]).startswith(b"HTTP/1.1 200 "))
        self.assertEqual(service.close(), 0)
        self.assertEqual(emulator.read_card_requests(), 1)


if __name__ == "__main__":
    unittest.main()
