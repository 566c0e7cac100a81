"""q48-service as a process against q48-emulator: the API, its statuses and each security rule."""
import http.client
import json
import os
import re
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from service_fixture import BIN, ENV, ROOT, Emulator, Service, wait_for

EVIL = "https://evil.example"
SHOP = "https://shop.example"


def q48_json(*args):
    run = subprocess.run([os.path.join(BIN, "q48"), "--json", *args], capture_output=True, timeout=60, env=ENV)
    return json.loads(run.stdout)


class ServiceTest(unittest.TestCase):
    emulator_flags = ()
    service_flags = ("--allow-origin", SHOP)

    def setUp(self):
        self.emulator = Emulator(*self.emulator_flags)
        self.addCleanup(self.emulator.close)
        self.service = Service(*self.service_flags, device=self.emulator.device)
        self.addCleanup(self.service.close)

    def raw(self, data, read=True, timeout=15):
        """Sends bytes on a new connection; returns what came back until the service closed it."""
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=timeout) as s:
            s.sendall(data)
            got = b""
            while read:
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += chunk
            return got

    def assert_still_serving(self):
        status, _, body = self.service.request("GET", "/v1/reader")
        self.assertEqual((status, json.loads(body)["result"]), (200, 1))


class CardKinds(ServiceTest):
    def test_each_kind_is_answered_as_q48_prints_it(self):
        for profile, kind in (("hk-mo-tw-permit.json", "hk_mo_tw"), ("foreign-2017.json", "foreign_2017"),
                              ("foreign-2023.json", "foreign_2023")):
            self.emulator.command("place " + os.path.join(ROOT, "tools/emulator/profiles", profile))
            self.assertTrue(wait_for(lambda: self.service.post("/v1/card")[2]["fields"].get("card_kind") == kind), kind)
            card = self.service.post("/v1/card")[2]
            self.assertEqual(card, q48_json("--port", self.emulator.device, "read-card", "--no-photo"))
            self.assertTrue(card["fields"]["portrait"].startswith("data:image/jpeg;base64,/9j/"), kind)
            self.assertNotIn("reserved", card["fields"])


class Api(ServiceTest):
    def test_each_body_is_what_q48_json_prints(self):
        device = self.emulator.device
        self.assertEqual(self.service.post("/v1/card")[2], q48_json("--port", device, "read-card", "--no-photo"))
        card = self.service.post("/v1/card")[2]
        self.assertTrue(card["fields"]["portrait"].startswith("data:image/jpeg;base64,/9j/"))
        self.assertEqual(self.service.post("/v1/iccid")[2], q48_json("--port", device, "iccid"))
        self.assertEqual(self.service.post("/v1/card-type")[2], q48_json("--port", device, "card-type"))
        status, _, body = self.service.request("GET", "/v1/reader")
        self.assertEqual((status, json.loads(body)), (200, q48_json("--port", device, "list")))

    def test_no_portrait_file_stays_after_a_read(self):
        card = self.service.post("/v1/card")[2]
        self.assertTrue(card["fields"]["portrait"].startswith("data:image/jpeg;base64,/9j/"))
        folder = os.path.join(self.service.cache, "portraits")
        self.assertEqual(os.stat(folder).st_mode & 0o777, 0o700)
        self.assertEqual(os.listdir(folder), [])

    def test_write_converts_to_gbk(self):
        # Nine Chinese characters are 18 bytes in GBK (accepted), ten are 20 (too long): the library's own check.
        status, _, out = self.service.post("/v1/sim", json.dumps({"number": "13800138000", "content": "一二三四五六七八九"}))
        self.assertEqual((status, out["command"], out["result"]), (200, "write", 0))
        status, _, out = self.service.post("/v1/sim", json.dumps({"number": "13800138000", "content": "一二三四五六七八九十"}))
        self.assertEqual((status, out["result"], out["result_name"]), (200, -3, "Q48_ERR_ARGUMENT"))

    def test_bad_requests(self):
        cases = [
            ("/v1/card", "{not json"), ("/v1/card", "[1]"), ("/v1/sim", "{}"),
            ("/v1/sim", '{"number": 138, "content": "x"}'), ("/v1/sim", '{"number": "1", "content": null}'),
            ("/v1/sim", json.dumps({"number": "1", "content": "\U0001F600"})),  # no GBK for it
        ]
        for path, body in cases:
            status, _, out = self.service.post(path, body)
            self.assertEqual(status, 400, body)
            self.assertTrue(out["error"], body)
        self.assertEqual(self.service.request("GET", "/v2/nothing")[0], 404)
        status, headers, _ = self.service.request("GET", "/v1/card")
        self.assertEqual((status, headers["Allow"]), (405, "POST, OPTIONS"))
        status, headers, _ = self.service.request("DELETE", "/")
        self.assertEqual((status, headers["Allow"]), (405, "GET, HEAD, OPTIONS"))
        self.assertEqual(self.emulator.log().count("request 3,"), 0, "nothing reached the reader")

    def test_bodies_over_4_kib_are_refused(self):
        status, _, out = self.service.post("/v1/card", "{" + " " * 4096 + "}")
        self.assertEqual((status, out["error"]), (413, "the body is larger than 4 KiB"))
        chunked = (b"POST /v1/card HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
                   b"Transfer-Encoding: chunked\r\n\r\n" % self.service.port)
        chunked += b"".join(b"400\r\n" + b" " * 1024 + b"\r\n" for _ in range(5)) + b"0\r\n\r\n"
        self.assertTrue(self.raw(chunked).startswith(b"HTTP/1.1 413 "))
        status, _, out = self.service.post("/v1/card", "{" + " " * 4000 + "}")
        self.assertEqual((status, out["result"]), (200, 0))
        self.assertEqual(self.emulator.read_card_requests(), 1)

    def test_event_stream_reports_the_reader_and_cards_placed_and_removed(self):
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=10) as s:
            s.sendall(b"GET /v1/events HTTP/1.1\r\nHost: localhost:%d\r\n\r\n" % self.service.port)
            got = b""

            def until(text, count=1):
                nonlocal got
                deadline = time.monotonic() + 15  # heartbeats keep recv from timing out
                while got.count(text) < count or not got.endswith(b"\n\n"):
                    self.assertLess(time.monotonic(), deadline, got[-300:])
                    got += s.recv(65536)
                return got

            header = until(b"event: card\n").partition(b"\r\n\r\n")[0]
            self.emulator.command("remove")
            until(b"event: removed\n")
            self.emulator.command("place")
            until(b"event: card\n", 2)
        events = got.partition(b"\r\n\r\n")[2].replace(b":\n\n", b"")  # less the heartbeats
        self.assertIn(b"Content-Type: text/event-stream", header)
        self.assertTrue(events.startswith(b'retry: 2000\n\nevent: reader\ndata: {"present":true}\n\nevent: card\ndata: '))
        card = json.loads(events.split(b"event: card\ndata: ")[1].split(b"\n")[0])
        self.assertEqual((card["command"], card["result"], card["fields"]["nation"]), ("read-card", 0, "汉族"))
        removed = json.loads(events.split(b"event: removed\ndata: ")[1].split(b"\n")[0])
        self.assertEqual((removed["command"], removed["result"]), ("read-card", -6))
        self.assertEqual([line.split(b" ")[1] for line in events.split(b"\n") if line.startswith(b"event:")],
                         [b"reader", b"card", b"removed", b"card"])


class PollingOnlyWhileListened(ServiceTest):
    service_flags = ("--watch-interval", "100")

    def test_the_reader_is_read_only_while_someone_listens(self):
        time.sleep(0.6)
        self.assertEqual(self.emulator.read_card_requests(), 0)
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=10) as s:
            s.sendall(b"GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % self.service.port)
            self.assertTrue(wait_for(lambda: self.emulator.read_card_requests() >= 3))
        # The listener left: at most a read under way still finishes.
        time.sleep(0.4)
        settled = self.emulator.read_card_requests()
        time.sleep(0.6)
        self.assertEqual(self.emulator.read_card_requests(), settled)
        self.assert_still_serving()


class BusyReader(ServiceTest):
    emulator_flags = ("--pause-ms", "700")

    def test_more_than_eight_waiting_gets_503_with_retry_after(self):
        request = (b"POST /v1/card-type HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
                   b"Content-Length: 2\r\n\r\n{}" % self.service.port)
        held = []
        try:
            for count in range(10):  # one running, nine waiting: more than eight
                s = socket.create_connection(("127.0.0.1", self.service.port), timeout=30)
                s.sendall(request)
                held.append(s)
                time.sleep(0.15 if count == 0 else 0.02)
            time.sleep(0.2)
            answer = self.raw(request.replace(b"Content-Length: 2\r\n", b"Content-Length: 2\r\nConnection: close\r\n"
                                              b"Origin: " + SHOP.encode() + b"\r\n"))
            self.assertTrue(answer.startswith(b"HTTP/1.1 503 "), answer)
            self.assertIn(b"\r\nRetry-After: 1\r\n", answer)
            self.assertIn(b"\r\nAccess-Control-Expose-Headers: Retry-After\r\n", answer)  # a page's script reads it
            self.assertTrue(held[0].recv(4096).startswith(b"HTTP/1.1 200 "))  # the first one was answered
        finally:
            for s in held:
                s.close()


class AbandonedRequests(ServiceTest):
    """A command waiting for the reader is not run once its client has left or given up; one that has started is
    finished."""
    emulator_flags = ("--pause-ms", "1500")

    def send(self, path, body):
        s = socket.create_connection(("127.0.0.1", self.service.port), timeout=30)
        self.addCleanup(s.close)
        s.sendall(b"POST %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
                  b"Content-Length: %d\r\nConnection: close\r\n\r\n%s" % (path, self.service.port, len(body), body))
        time.sleep(0.2)
        return s

    def answer(self, s):
        got = b""
        while chunk := s.recv(65536):
            got += chunk
        return got

    def test_a_write_whose_client_left_or_gave_up_before_its_turn_never_reaches_the_sim(self):
        write = lambda content: json.dumps({"number": "13800138000", "content": content}).encode()
        read = self.send(b"/v1/card", b"{}")  # runs for 1.5 s
        self.send(b"/v1/sim", write("left")).close()
        expired = self.send(b"/v1/sim?timeout=300", write("expired"))
        kept = self.send(b"/v1/sim?timeout=60000", write("kept"))
        self.assertTrue(self.answer(read).startswith(b"HTTP/1.1 200 "))
        answer = self.answer(expired)
        self.assertTrue(answer.startswith(b"HTTP/1.1 503 "), answer)
        self.assertIn(b"\r\nRetry-After: 1\r\n", answer)
        self.assertIn(b"the reader was not free before the request's timeout", answer)
        self.assertTrue(self.answer(kept).startswith(b"HTTP/1.1 200 "))
        sim_texts = lambda: self.emulator.log().count("request 3,11 ")  # a write's second step, its content
        self.assertEqual(sim_texts(), 1, "only the write still wanted reached the SIM")
        # A write that has started is finished, though its client leaves in the middle of it.
        self.send(b"/v1/sim", write("unanswered")).close()
        self.assertTrue(wait_for(lambda: "POST /v1/sim unanswered" in self.service.log(), timeout=15))
        self.assertEqual(sim_texts(), 2)
        log = self.service.log()
        self.assertEqual([log.count("POST /v1/sim " + status) for status in ("dropped", "503", "200")], [1, 1, 1])
        self.assert_still_serving()


class Rules(ServiceTest):
    def test_binds_to_loopback_only(self):
        for listen in ("0.0.0.0:18848", "192.168.1.20:18848", "example.com:18848", "[::]:18848", "::1:18848"):
            run = subprocess.run([os.path.join(BIN, "q48-service"), "--listen", listen], capture_output=True,
                                 timeout=30, env=ENV)
            self.assertEqual((run.returncode, run.stdout), (1, b""), listen)
            self.assertIn(b"--listen " + listen.encode(), run.stderr)
        with tempfile.NamedTemporaryFile("w", suffix=".json") as config:
            json.dump({"listen": "0.0.0.0:18848"}, config)
            config.flush()
            run = subprocess.run([os.path.join(BIN, "q48-service"), "--config", config.name], capture_output=True,
                                 timeout=30, env=ENV)
            self.assertEqual(run.returncode, 1)
            self.assertIn(b"only a loopback address", run.stderr)
        self.assertEqual(self.service.url, "http://127.0.0.1:%d/" % self.service.port)

    def test_host_must_be_a_loopback_name_with_the_port(self):
        port = self.service.port
        for host in ("evil.example:%d" % port, "127.0.0.1:%d" % (port + 1), "127.0.0.1", "localhost.evil:%d" % port):
            status, _, body = self.service.post("/v1/card", headers={"Host": host})
            self.assertEqual(status, 403, host)
            self.assertIn("error", json.loads(body) if isinstance(body, bytes) else body)
        answer = self.raw(b"POST /v1/card HTTP/1.0\r\nContent-Type: application/json\r\n\r\n")  # no Host at all
        self.assertTrue(answer.startswith(b"HTTP/1.0 403 "), answer)
        answer = self.raw(b"POST /v1/card HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nHost: evil.example\r\n"
                          b"Content-Type: application/json\r\n\r\n" % port)
        self.assertTrue(answer.startswith(b"HTTP/1.1 403 "), answer)
        self.assertEqual(self.emulator.read_card_requests(), 0)
        for host in ("127.0.0.1:%d" % port, "localhost:%d" % port, "[::1]:%d" % port):
            self.assertEqual(self.service.post("/v1/card", headers={"Host": host})[0], 200, host)

    def test_origins_not_allowed_are_refused_before_the_reader(self):
        twice = b"POST /v1/card HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nOrigin: %s\r\nOrigin: %s\r\n\r\n" % (
            self.service.port, SHOP.encode(), EVIL.encode())
        self.assertTrue(self.raw(twice).startswith(b"HTTP/1.1 403 "))
        for origin in (EVIL, "null", SHOP + ":8443", "http://shop.example"):
            self.assertEqual(self.service.post("/v1/card", headers={"Origin": origin})[0], 403, origin)
            status, headers, _ = self.service.request("GET", "/v1/events", headers={"Origin": origin})
            self.assertEqual(status, 403, origin)
            self.assertNotIn("Access-Control-Allow-Origin", headers)
            status, _, _ = self.service.request("OPTIONS", "/v1/card", headers={
                "Origin": origin, "Access-Control-Request-Method": "POST"})
            self.assertEqual(status, 403, origin)
        self.assertEqual(self.emulator.read_card_requests(), 0)
        own = "http://127.0.0.1:%d" % self.service.port
        for origin in (SHOP, own):
            self.assertEqual(self.service.post("/v1/card", headers={"Origin": origin})[0], 200, origin)

    def test_cors_headers_only_for_allowed_origins(self):
        status, headers, _ = self.service.post("/v1/card-type", headers={"Origin": SHOP})
        self.assertEqual((status, headers["Access-Control-Allow-Origin"], headers["Vary"]), (200, SHOP, "Origin"))
        status, headers, _ = self.service.post("/v1/card-type")
        self.assertEqual(status, 200)
        self.assertNotIn("Access-Control-Allow-Origin", headers)
        preflight = {"Origin": SHOP, "Access-Control-Request-Method": "POST",
                     "Access-Control-Request-Headers": "content-type"}
        status, headers, _ = self.service.request("OPTIONS", "/v1/card", headers=preflight)
        self.assertEqual(status, 204)
        self.assertEqual(headers["Access-Control-Allow-Origin"], SHOP)
        self.assertIn("POST", headers["Access-Control-Allow-Methods"])
        self.assertEqual(headers["Access-Control-Allow-Headers"], "Content-Type")
        self.assertNotIn("Access-Control-Allow-Private-Network", headers)
        status, headers, _ = self.service.request(
            "OPTIONS", "/v1/card", headers=dict(preflight, **{"Access-Control-Request-Private-Network": "true"}))
        self.assertEqual(headers["Access-Control-Allow-Private-Network"], "true")
        self.assertEqual(self.emulator.read_card_requests(), 0, "a preflight never reads")
        # A header refused as too large or malformed: the refusal is readable by an allowed page alone.
        for origin in (SHOP, EVIL):
            for refused, status in ((b"X: %s\r\n" % (b"a" * 9000), 431), (b"Bad Field\r\n", 400)):
                answer = self.raw(b"GET /v1/reader HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nOrigin: %s\r\n%s\r\n" % (
                    self.service.port, origin.encode(), refused))
                self.assertTrue(answer.startswith(b"HTTP/1.1 %d " % status), answer)
                self.assertEqual(b"\r\nAccess-Control-Allow-Origin: %s\r\n" % origin.encode() in answer,
                                 origin == SHOP, (origin, status))

    def test_reader_operations_need_post_and_json(self):
        port = self.service.port
        for content_type in ("text/plain", "application/x-www-form-urlencoded", "multipart/form-data; boundary=x"):
            status, _, _ = self.service.request("POST", "/v1/card", "{}", {"Content-Type": content_type})
            self.assertEqual(status, 415, content_type)
        self.assertEqual(self.service.request("POST", "/v1/card", "{}")[0], 415)  # none at all
        self.assertEqual(self.service.request("GET", "/v1/card")[0], 405)  # what an <img> would send
        answer = self.raw(b"GET /v1/card HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n" % port)
        self.assertTrue(answer.startswith(b"HTTP/1.1 405 "))
        self.assertEqual(self.emulator.read_card_requests(), 0)
        status, _, _ = self.service.request("POST", "/v1/card", "{}", {"Content-Type": "Application/JSON; charset=utf-8"})
        self.assertEqual(status, 200)

    def test_every_response_has_no_store_and_nosniff_and_the_page_a_csp(self):
        responses = [self.service.request("GET", path) for path in ("/", "/q48.js", "/app.js", "/style.css", "/nothing")]
        responses.append(self.service.request("POST", "/v1/card", "{}", {"Content-Type": "application/json"}))
        responses.append(self.service.request("GET", "/", headers={"Origin": EVIL}))
        responses.append(self.service.request("HEAD", "/"))
        for status, headers, _ in responses:
            self.assertEqual((headers["Cache-Control"], headers["X-Content-Type-Options"]), ("no-store", "nosniff"),
                             status)
        status, headers, page = responses[0]
        self.assertEqual((status, headers["Content-Type"]), (200, "text/html; charset=utf-8"))
        self.assertIn("default-src 'self'", headers["Content-Security-Policy"])
        self.assertNotIn(b"<script>", page)  # no inline script: the policy would block it
        self.assertNotIn(b"style=", page)
        self.assertEqual(responses[1][1]["Content-Type"], "text/javascript; charset=utf-8")
        self.assertEqual(responses[-1][1]["Content-Length"], headers["Content-Length"])  # HEAD

    def test_logs_name_the_request_but_no_card_data(self):
        card = self.service.post("/v1/card", headers={"Origin": SHOP})[2]
        iccid = self.service.post("/v1/iccid")[2]["fields"]["iccid"]
        self.service.post("/v1/sim", json.dumps({"number": "13912345678", "content": "秘密内容"}))
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=10) as s:
            s.sendall(b"GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % self.service.port)
            self.assertTrue(wait_for(lambda: self.emulator.read_card_requests() >= 2))
        self.service.request("GET", "/v1/reader?name=" + "x" * 10)
        log = self.service.log()
        self.assertRegex(log, r"\n[-0-9]+ [:.0-9]+ POST /v1/card 200 \d+ms origin=https://shop.example\n")
        self.assertRegex(log, r"\n[-0-9]+ [:.0-9]+ GET /v1/reader 200 \d+ms origin=-\n")
        secrets = [card["fields"][key] for key in ("name", "id_number", "address", "birth_date")]
        secrets += [card["fields"]["name"].strip(), iccid, "13912345678", "秘密内容", "xxxxxxxxxx"]
        for secret in secrets:
            self.assertNotIn(secret, log)

    def test_limits_on_headers_idle_and_broken_requests(self):
        port = self.service.port
        big = b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX-Fill: %s\r\n\r\n" % (port, b"a" * 9000)
        self.assertTrue(self.raw(big).startswith(b"HTTP/1.1 431 "))
        self.assertTrue(self.raw(b"GARBAGE\r\n\r\n").startswith(b"HTTP/1.1 400 "))
        self.assertTrue(self.raw(b"GET / HTTP/1.1\r\nHost 127.0.0.1\r\n\r\n").startswith(b"HTTP/1.1 400 "))
        # Truncated requests and clients that vanish, also while the reader works for them.
        self.raw(b"POST /v1/card HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Le" % port, read=False)
        self.raw(b"POST /v1/card HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
                 b"Content-Length: 100\r\n\r\n{" % port, read=False)
        self.raw(b"POST /v1/card HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
                 b"Content-Length: 2\r\n\r\n{}" % port, read=False)
        self.assert_still_serving()
        # An idle connection is closed by the service, and takes nothing from others meanwhile.
        idle = socket.create_connection(("127.0.0.1", port), timeout=30)
        idle.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % port)  # never finished
        self.assert_still_serving()
        start = time.monotonic()
        self.assertEqual(idle.recv(100), b"")
        self.assertLess(time.monotonic() - start, 15)
        idle.close()
        self.assert_still_serving()


class HttpFaults(ServiceTest):
    """Requests a hostile or broken client may send: each is refused without reaching the reader."""

    def test_head_answers_are_headers_only_on_a_kept_alive_connection(self):
        host = b"Host: 127.0.0.1:%d\r\n" % self.service.port
        cases = ((b"/nothing", 404), (b"/v1/card", 405), (b"/", 200))
        rest = self.raw(b"".join(b"HEAD " + path + b" HTTP/1.1\r\n" + host + b"\r\n" for path, _ in cases)
                        + b"GET /v1/reader HTTP/1.1\r\n" + host + b"Connection: close\r\n\r\n")
        for path, status in cases:
            head, _, rest = rest.partition(b"\r\n\r\n")
            self.assertTrue(head.startswith(b"HTTP/1.1 %d " % status), head)
            self.assertRegex(head, rb"\r\nContent-Length: [1-9]")  # the body GET would get, not sent
        self.assertTrue(rest.startswith(b"HTTP/1.1 200 "), rest[:100])

    def test_transfer_encoding_other_than_chunked_alone_is_refused_and_closed(self):
        head = b"POST /v1/card HTTP/1.%d\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
        smuggled = b"GET /v1/reader HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % self.service.port
        for version, codings in ((1, b"chunked, identity"), (1, b"identity"), (1, b"gzip, chunked"),
                                 (1, b"chunked\r\nTransfer-Encoding: chunked"), (0, b"chunked")):
            answer = self.raw(head % (version, self.service.port) + b"Transfer-Encoding: " + codings + b"\r\n\r\n"
                              + smuggled)
            self.assertTrue(answer.startswith(b"HTTP/1.%d 400 " % version), codings + answer)
            self.assertEqual(answer.count(b"HTTP/1."), 1, codings)  # the bytes after it never ran
        self.assertEqual(self.emulator.requests(), 0)
        plain = head % (1, self.service.port) + b"Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
        self.assertTrue(self.raw(plain + b"2\r\n{}\r\n0\r\n\r\n").startswith(b"HTTP/1.1 200 "))

    def test_nul_in_a_text_and_anything_after_the_json_are_refused(self):
        for path, body in (("/v1/sim", '{"number": "13800138000", "content": "A\\u0000B"}'),
                           ("/v1/sim", '{"number": "138\\u0000", "content": "AB"}'),
                           ("/v1/card", '{}\x00{"x": 1}'), ("/v1/card", "{} x"), ("/v1/card", "{}{}")):
            status, _, out = self.service.post(path, body)
            self.assertEqual(status, 400, body)
            self.assertTrue(out["error"], body)
        self.assertEqual(self.emulator.requests(), 0)
        self.assertEqual(self.service.post("/v1/card-type", "{} \r\n\t")[0], 200)

    def test_other_sites_pages_without_an_allowed_origin_are_refused(self):
        def status(path, headers):  # the status line only: an event stream never ends
            connection = http.client.HTTPConnection("127.0.0.1", self.service.port, timeout=15)
            try:
                connection.request("GET", path, headers=headers)
                return connection.getresponse().status
            finally:
                connection.close()

        # What <img>, <script> and links of another site's page send: no Origin.
        for site in ("cross-site", "same-site", "Cross-Site"):
            for path in ("/v1/events", "/v1/reader", "/q48.js"):
                self.assertEqual(status(path, {"Sec-Fetch-Site": site}), 403, (site, path))
            self.assertEqual(status("/v1/reader", {"Sec-Fetch-Site": site, "Origin": EVIL}), 403, site)
        self.assertEqual(self.emulator.requests(), 0)
        # An allowed origin's fetch, the service's own page, a typed address, a local program.
        for headers in ({"Sec-Fetch-Site": "cross-site", "Origin": SHOP}, {"Sec-Fetch-Site": "same-origin"},
                        {"Sec-Fetch-Site": "none"}, {}):
            self.assertEqual(status("/v1/reader", headers), 200, headers)


class Settings(unittest.TestCase):
    def run_service(self, *args):
        return subprocess.run([os.path.join(BIN, "q48-service"), *args], capture_output=True, timeout=30, env=ENV)

    def test_origins_must_be_exact(self):
        for origin in ("https://*.example", "*", "https://shop.example/", "https://shop.example/path", "shop.example",
                       "ftp://shop.example", "https://shop.example:0", "https://shop.example:99999", "https://"):
            run = self.run_service("--listen", "127.0.0.1:0", "--allow-origin", origin)
            self.assertEqual(run.returncode, 1, origin)
            self.assertIn(b"--allow-origin", run.stderr)

    def test_config_file_overridden_key_by_key_and_its_errors(self):
        emulator = Emulator()
        self.addCleanup(emulator.close)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "q48-service.json")
            with open(path, "w") as f:
                json.dump({"port": emulator.device, "allow-origin": [EVIL], "watch-interval": 500}, f)
            # The device and interval come from the file, the origins from the command line (in any case).
            service = Service("--config", path, "--allow-origin", "HTTPS://Shop.Example:443")
            try:
                status, headers, out = service.post("/v1/card-type", headers={"Origin": SHOP})
                self.assertEqual((status, headers["Access-Control-Allow-Origin"], out["result"]), (200, SHOP, 1))
                self.assertEqual(service.post("/v1/card-type", headers={"Origin": EVIL})[0], 403)
                self.assertIn("settings from %s and the command line" % path, service.log())
                self.assertIn("every 500 ms", service.log())
            finally:
                self.assertEqual(service.close(), 0)
            run = self.run_service("--config", path, "--watch-interval", "49")
            self.assertEqual(run.returncode, 1)
            self.assertIn(b"--watch-interval 49: give 50 to 600000 milliseconds", run.stderr)
            for bad, reason in (('{"listen": 5}', b'"listen" must be a string'), ('{"colour": "red"}', b"unknown setting"),
                                ("{", b"not valid JSON"), ('{"watch-interval": 1}', b"watch-interval 1"),
                                ('{"allow-origin": "https://a.example"}', b"array of strings")):
                with open(path, "w") as f:
                    f.write(bad)
                run = self.run_service("--config", path)
                self.assertEqual(run.returncode, 1, bad)
                self.assertIn(path.encode() + b": ", run.stderr)
                self.assertIn(reason, run.stderr)

    def test_help_and_version(self):
        run = self.run_service("--help")
        self.assertEqual(run.returncode, 0)
        lines = run.stdout.decode().splitlines()
        for option, default in (("--listen ADDR:PORT", "(default 127.0.0.1:18848)"), ("--port DEVICE", ""),
                                ("--allow-origin ORIGIN", ""), ("--watch-interval MS", "(default 1000)"),
                                ("--config FILE", "")):
            line = next((l for l in lines if l.strip().startswith(option)), "")
            self.assertGreater(len(line.strip()), len(option) + 20, "no help for " + option)
            self.assertIn(default, line)
        self.assertTrue(self.run_service("--version").stdout.startswith(b"q48-service "))
        self.assertEqual(self.run_service("--frobnicate").returncode, 1)


@unittest.skipUnless(os.environ.get("Q48_BUILD_DIR"), "Q48_BUILD_DIR names no build tree")
class Installed(unittest.TestCase):
    def test_the_systemd_units_start_the_installed_service_from_the_socket(self):
        with tempfile.TemporaryDirectory() as prefix:
            run = subprocess.run(["cmake", "--install", os.environ["Q48_BUILD_DIR"], "--component", "service",
                                  "--prefix", prefix], capture_output=True, timeout=120)
            self.assertEqual(run.returncode, 0, run.stderr)
            with open(os.path.join(prefix, "lib/systemd/system/q48-service.service")) as f:
                unit = f.read()
            with open(os.path.join(prefix, "lib/systemd/system/q48-service.socket")) as f:
                socket_unit = f.read()
        self.assertIn("\nExecStart=%s/bin/q48-service\n" % prefix, unit)
        self.assertIn("\nRequires=q48-service.socket\n", unit)
        self.assertIn("\nWantedBy=sockets.target\n", socket_unit)


if __name__ == "__main__":
    unittest.main()
