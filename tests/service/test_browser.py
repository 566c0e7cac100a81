"""q48-service's page, the client package and foreign pages in headless Chromium (through chromium-driver),
against q48-emulator.

Pages of "the application" come from a local page server. Chromium is told that one of its ports is a public
address (--ip-address-space-overrides), which is how it treats a business web application on the internet; its
other ports stay local, like any program on the counter. Screenshots go to $Q48_SCREENSHOTS (CTest:
<build>/screenshots)."""
import http.server
import json
import os
import shutil
import socket
import socketserver
import ssl
import subprocess
import tarfile
import tempfile
import threading
import time
import unittest
import urllib.request

from service_fixture import BIN, ROOT, Emulator, Service, wait_for

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service as DriverService
    from selenium.webdriver.common.by import By
    MISSING = ""
except ImportError as error:
    MISSING = "python3-selenium is not installed (%s)" % error
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
if not MISSING and not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
    MISSING = "chromium and chromium-driver are not installed"
SCREENSHOTS = os.environ.get("Q48_SCREENSHOTS", os.path.join(BIN, "..", "screenshots"))
PACKAGE = os.environ.get("Q48_CLIENT_PACKAGE", os.path.join(BIN, "..", "package", "q48reader-client-1.0.0.tgz"))
NO_PACKAGE = "" if os.path.exists(PACKAGE) else "the npm package %s was not built (is npm installed?)" % PACKAGE
POLICY_DIR = "/etc/chromium/policies/managed"
CLIENT = "/lib/q48reader-client/q48.js"  # where the application serves the package's module

# Each page reports through its title: "waiting" until it has a JSON result.
REPORT = """<script type="module">
import { listReader, readCard, writeSim, setServiceUrl } from "%s";
const report = (result) => { document.title = JSON.stringify(result); };
const failure = (err) => ({kind: err.kind, permission: err.permission, retryAfter: err.retryAfter,
                           reason: err.reason, status: err.status, bilingual: /[\\u4e00-\\u9fff]/.test(err.zh) && /[a-z]/.test(err.en)});
const read = async (service) => {
  setServiceUrl(service);
  const start = performance.now();
  try {
    const card = await readCard();
    return {result: card.result, name: card.fields.name.trim(), portrait: card.fields.portrait.slice(0, 23)};
  } catch (err) {
    return Object.assign(failure(err), {ms: Math.round(performance.now() - start)});
  }
};
const invalid = async (service) => {
  setServiceUrl(service);
  try { return await writeSim("13800138000", "A\\u0000B"); } catch (err) { return failure(err); }
};
%%s
</script><title>waiting</title>""" % CLIENT

# Elements of a page nobody allowed that point at the reader: none may reach it.
ELEMENTS = """<img src="%(s)sv1/events"><img src="%(s)sv1/reader"><script src="%(s)sv1/reader"></script>
<script src="%(s)sv1/events"></script><link rel="stylesheet" href="%(s)sv1/events">"""


class Pages(http.server.ThreadingHTTPServer):
    """The application's web server: the package's files under /lib/q48reader-client/, and pages set by tests."""

    def __init__(self, tls=None):
        """`tls`: an ssl.SSLContext to serve https with."""
        self.pages = {}
        with tarfile.open(PACKAGE) as package:
            self.client = package.extractfile("package/q48.js").read()
        pages = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                if self.path == CLIENT:
                    kind, body = "text/javascript", pages.client
                elif self.path in pages.pages:
                    kind, body = "text/html; charset=utf-8", pages.pages[self.path]().encode()
                else:
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Type", kind)
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        if tls:
            self.socket = tls.wrap_socket(self.socket, server_side=True)
        self.origin = "%s://127.0.0.1:%d" % ("https" if tls else "http", self.server_address[1])
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def close(self):
        self.shutdown()
        self.server_close()


class Mangler(socketserver.ThreadingTCPServer):
    """Between the browser and a service, as a broken proxy might be: adds a malformed line to each request's
    header, and relays the answer."""
    daemon_threads = True

    def __init__(self, port):
        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                self.request.settimeout(10)
                data = b""
                while b"\r\n\r\n" not in data and len(data) < 65536:
                    chunk = self.request.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                line, _, rest = data.partition(b"\r\n")
                with socket.create_connection(("127.0.0.1", port), timeout=10) as service:
                    service.sendall(line + b"\r\nBad Field\r\n" + rest)
                    while chunk := service.recv(65536):
                        self.request.sendall(chunk)

        super().__init__(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.server_address[1]
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def close(self):
        self.shutdown()
        self.server_close()


def start_chromium(owner, public, display=None, flags=()):
    """Starts owner.browser; `public`: page servers whose port Chromium takes for a public address. Headless,
    or on the X `display` (headless Chromium refuses every permission prompt at once, without showing it)."""
    profile = tempfile.TemporaryDirectory()
    (owner.addClassCleanup if isinstance(owner, type) else owner.addCleanup)(profile.cleanup)
    options = Options()
    options.binary_location = CHROMIUM
    overrides = ",".join("127.0.0.1:%d=public" % pages.server_address[1] for pages in public)
    for flag in ((() if display else ("--headless=new",)) + (
                 "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1000,1000", "--user-data-dir=" + profile.name,
                 "--ip-address-space-overrides=" + overrides) + tuple(flags)):
        options.add_argument(flag)
    env = dict(os.environ, DISPLAY=display) if display else None
    owner.browser = webdriver.Chrome(service=DriverService(DRIVER, env=env), options=options)


class BrowserTest(unittest.TestCase):
    def setUp(self):
        self.emulator = Emulator()
        self.addCleanup(self.emulator.close)

    def start_service(self, *flags, emulator=None):
        service = Service(*flags, device=(emulator or self.emulator).device)
        self.addCleanup(service.close)
        return service

    def report(self, url, timeout=20):
        """Opens a page and returns what it reported in its title."""
        self.browser.get(url)
        self.assertTrue(wait_for(lambda: self.browser.title != "waiting", timeout=timeout), url)
        return json.loads(self.browser.title)


@unittest.skipIf(MISSING or NO_PACKAGE, MISSING or NO_PACKAGE)
class Browser(BrowserTest):
    @classmethod
    def setUpClass(cls):
        cls.local = Pages()  # an application on this computer, or on the local network
        cls.addClassCleanup(cls.local.close)
        cls.public = Pages()  # an application on the internet
        cls.addClassCleanup(cls.public.close)
        start_chromium(cls, [cls.public])
        cls.addClassCleanup(cls.browser.quit)
        os.makedirs(SCREENSHOTS, exist_ok=True)

    def text(self, element_id):
        return self.browser.find_element(By.ID, element_id).text

    def screenshot(self, name):
        self.assertTrue(self.browser.save_screenshot(os.path.join(SCREENSHOTS, name)))

    def test_the_page_shows_a_foreigners_card_with_its_labels(self):
        emulator = Emulator("--profile", os.path.join(ROOT, "tools/emulator/profiles/foreign-2023.json"))
        self.addCleanup(emulator.close)
        service = self.start_service(emulator=emulator)
        self.browser.get(service.url)
        self.browser.find_element(By.ID, "read").click()
        self.assertTrue(wait_for(lambda: self.text("status") == "读卡成功"), self.text("status"))
        self.assertEqual(self.text("card_kind"), "外国人永久居留身份证（2023年版）")
        labels = self.browser.execute_script("return [...document.querySelectorAll('#fields dt')].map(e => e.textContent);")
        self.assertEqual(labels, ["英文姓名", "中文姓名", "性别", "国籍", "出生日期", "证件号码", "换证次数",
                                  "既往证件关联", "有效期限"])
        self.assertEqual((self.text("english_name"), self.text("chinese_name"), self.text("nationality"),
                          self.text("sex_code"), self.text("valid_to")),
                         ("GARCIA LOPEZ, MARIA FERNANDA", "高玛丽", "ESP", "女", "2033.09.01"))
        self.assertTrue(wait_for(lambda: self.browser.execute_script(
            "const p = document.getElementById('portrait'); return p.complete && p.naturalWidth > 0;")))
        self.screenshot("service-page-foreigner.png")

    def test_the_page_reads_the_card_and_shows_the_portrait(self):
        service = self.start_service()
        self.browser.get_log("browser")  # what earlier pages logged
        self.browser.get(service.url)
        self.browser.find_element(By.ID, "read").click()
        self.assertTrue(wait_for(lambda: self.text("status") == "读卡成功"), self.text("status"))
        self.assertEqual((self.text("name"), self.text("nation"), self.text("sex_code")), ("陈思远", "汉族", "男"))
        # Each field the page shows sits under the key the service answers with.
        fields = service.post("/v1/card")[2]["fields"]
        shown = self.browser.execute_script("return [...document.querySelectorAll('dl [id]')].map(e => e.id);")
        self.assertEqual(len(shown), 9)
        self.assertLessEqual(set(shown), set(fields))
        self.assertEqual(self.text("id_number"), fields["id_number"])
        self.assertTrue(wait_for(lambda: self.browser.execute_script(
            "const p = document.getElementById('portrait'); return p.complete && p.naturalWidth > 0;")))
        self.screenshot("service-page-read.png")
        errors = [entry for entry in self.browser.get_log("browser") if entry["level"] == "SEVERE"]
        self.assertEqual(errors, [], "no script or policy errors on the page")
        # The service goes away: the page says so, and what to do, in both languages.
        service.close()
        self.browser.find_element(By.ID, "read").click()
        self.assertTrue(wait_for(lambda: "q48-service" in self.text("status") and "没有运行" in self.text("status")),
                        self.text("status"))
        self.screenshot("service-page-unreachable.png")

    def test_the_page_shows_cards_placed_and_removed(self):
        service = self.start_service("--watch-interval", "200")
        self.browser.get(service.url)
        events = lambda: self.text("events")
        self.assertTrue(wait_for(lambda: "读到身份证：陈思远" in events()), events())
        self.assertIn("读卡器已连接", events())
        self.emulator.command("remove")
        self.assertTrue(wait_for(lambda: "身份证已移开" in events()), events())
        self.assertEqual(self.text("name"), "")
        self.emulator.command("place")
        self.assertTrue(wait_for(lambda: events().count("读到身份证：陈思远") == 2), events())
        self.assertEqual(self.text("name"), "陈思远")
        self.screenshot("service-page-events.png")

    def test_an_allowed_origin_reads_with_the_package_from_its_own_site(self):
        # The README's recipe: the application serves the package and names the service.
        service = self.start_service("--allow-origin", self.local.origin)
        stopped = Service()
        stopped.close()
        paused = Emulator("--pause-ms", "1500")
        self.addCleanup(paused.close)
        busy = self.start_service("--allow-origin", self.local.origin, emulator=paused)
        self.local.pages["/app"] = lambda: REPORT % (
            "const out = {card: await read('%s'), stopped: await read('%s'), invalid: await invalid('%s')};"
            "window.readBusy = () => read('%s').then(r => { out.busy = r; report(out); });"
            "report(out);" % (service.url, stopped.url, service.url, busy.url))
        out = self.report(self.local.origin + "/app")
        self.assertEqual(out["card"], {"result": 0, "name": "陈思远", "portrait": "data:image/jpeg;base64,"})
        self.assertEqual((out["stopped"]["kind"], out["stopped"]["bilingual"]), ("unreachable", True))
        self.assertEqual((out["invalid"]["kind"], out["invalid"]["reason"]),
                         ("invalid", '"content" must not contain a NUL character'))
        # More than eight waiting for the reader: the next call is told to come back.
        held = []
        self.addCleanup(lambda: [s.close() for s in held])
        request = (b"POST /v1/card-type HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
                   b"Content-Length: 2\r\n\r\n{}" % busy.port)
        for _ in range(10):
            held.append(socket.create_connection(("127.0.0.1", busy.port), timeout=30))
            held[-1].sendall(request)
            time.sleep(0.02)
        self.browser.execute_script("readBusy()")
        self.assertTrue(wait_for(lambda: "busy" in self.browser.title, timeout=10), self.browser.title)
        self.assertEqual({k: json.loads(self.browser.title)["busy"][k] for k in ("kind", "retryAfter")},
                         {"kind": "busy", "retryAfter": 1})
        # The package's module is the very file the service serves.
        with urllib.request.urlopen(service.url + "q48.js", timeout=10) as served:
            self.assertEqual(served.read(), self.local.client)

    def test_an_allowed_page_reads_every_refusal_and_is_told_why(self):
        # Without CORS headers on a refusal the page could only guess "forbidden".
        service = self.start_service("--allow-origin", self.local.origin)
        mangler = Mangler(service.port)
        self.addCleanup(mangler.close)
        slow = Emulator("--pause-ms", "3000")
        self.addCleanup(slow.close)
        stopping = self.start_service("--allow-origin", self.local.origin, emulator=slow)
        self.local.pages["/refusals"] = lambda: REPORT % (
            "const list = async (service) => {"
            "  setServiceUrl(service); try { return await listReader(); } catch (err) { return failure(err); } };"
            "window.readWhileStopping = () => read('%s').then((stopping) => report({stopping}));"
            "report({large: await list('%s'), malformed: await list('%s')});"
            % (stopping.url, service.url + "a" * 9000 + "/", mangler.url))
        out = self.report(self.local.origin + "/refusals")
        self.assertEqual({k: out["large"][k] for k in ("kind", "status", "reason")},
                         {"kind": "invalid", "status": 431, "reason": "the header is larger than 8 KiB"})
        self.assertEqual({k: out["malformed"][k] for k in ("kind", "status", "reason")},
                         {"kind": "invalid", "status": 400, "reason": "malformed request"})
        # The page's read waits behind another; the service stops.
        running = socket.create_connection(("127.0.0.1", stopping.port), timeout=30)
        self.addCleanup(running.close)
        running.sendall(b"POST /v1/card HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
                        b"Content-Length: 2\r\n\r\n{}" % stopping.port)
        self.browser.execute_script("readWhileStopping()")
        self.assertTrue(wait_for(lambda: "OPTIONS /v1/card 204" in stopping.log()), stopping.log())
        time.sleep(0.5)  # the read itself follows its preflight
        stopping.process.terminate()
        self.assertTrue(wait_for(lambda: "stopping" in self.browser.title, timeout=10), self.browser.title)
        out = json.loads(self.browser.title)["stopping"]
        self.assertEqual((out["kind"], out["reason"]), ("busy", "the service is stopping"))
        self.assertEqual(slow.read_card_requests(), 1)

    def test_a_page_of_an_origin_not_allowed_gets_forbidden_and_reaches_no_reader(self):
        service = self.start_service("--watch-interval", "100")
        self.local.pages["/foreign"] = lambda: ELEMENTS % {"s": service.url} + REPORT % (
            "const out = {read: await read('%s')};"
            "try { await import('%sq48.js'); out.module = 'ok'; } catch (e) { out.module = 'failed'; }"
            "report(out);" % (service.url, service.url))
        out = self.report(self.local.origin + "/foreign")
        self.assertEqual((out["read"]["kind"], out["read"]["bilingual"], out["module"]), ("forbidden", True, "failed"))
        time.sleep(0.5)  # an event stream that got through would have read the card at once
        self.assertEqual(self.emulator.requests(), 0, self.emulator.log())
        log = service.log()
        for path in ("/v1/events", "/v1/reader", "/v1/card", "/q48.js"):
            self.assertIn(" %s 403 " % path, log)
        self.assertNotIn(" 200 ", log)

    def test_a_public_page_without_the_browser_policy_is_blocked_before_any_request(self):
        service = self.start_service("--allow-origin", self.public.origin)
        self.public.pages["/app"] = lambda: REPORT % ("report(await read('%s'));" % service.url)
        out = self.report(self.public.origin + "/app")
        self.assertEqual((out["kind"], out["bilingual"]), ("unreachable", True), out)
        self.assertLess(out["ms"], 5000)
        self.assertNotIn(" /v1/card ", service.log())
        self.assertEqual(self.emulator.requests(), 0)


@unittest.skipIf(MISSING or NO_PACKAGE, MISSING or NO_PACKAGE)
@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("openssl"), "Xvfb (xvfb) and openssl are not installed")
class SecurePagePrompt(BrowserTest):
    """A public page over https, with no policy: Chromium asks the user, and the client tells the page at once.
    Chromium shows the prompt on a display only, so it runs on Xvfb; the page's certificate is made here, and
    Chromium accepts it by its key's hash."""

    def test_the_page_is_told_of_the_prompt_at_once(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        key, cert = os.path.join(folder.name, "key.pem"), os.path.join(folder.name, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
        spki = subprocess.run("openssl x509 -in '%s' -pubkey -noout | openssl pkey -pubin -outform der"
                              " | openssl dgst -sha256 -binary | base64" % cert, shell=True, check=True,
                              capture_output=True, text=True).stdout.strip()
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(cert, key)
        secure = Pages(tls)
        self.addCleanup(secure.close)
        # -displayfd: Xvfb takes a free display and writes its number.
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(lambda: (xvfb.terminate(), xvfb.wait(timeout=10), xvfb.stdout.close()))
        display = ":" + xvfb.stdout.readline().strip()
        start_chromium(self, [secure], display, ["--ignore-certificate-errors-spki-list=" + spki])
        self.addCleanup(self.browser.quit)

        service = self.start_service("--allow-origin", secure.origin)
        secure.pages["/app"] = lambda: (REPORT.replace("import {", "import { events,") % (
            "const seen = []; const begun = performance.now();"
            "events.addEventListener('permissionpending', () => seen.push(Math.round(performance.now() - begun)));"
            "setServiceUrl('%s', {timeout: 5000});"
            "report(Object.assign(await read('%s'), {secure: isSecureContext, pending: seen}));"
            % (service.url, service.url)))
        out = self.report(secure.origin + "/app")
        self.assertTrue(out["secure"])
        self.assertEqual(len(out["pending"]), 1, out)
        self.assertLess(out["pending"][0], 3000)
        # Nobody answers: the call ends at its timeout, saying the question is still open.
        self.assertEqual((out["kind"], out["permission"]), ("unreachable", "prompt"), out)
        self.assertGreaterEqual(out["ms"], 4500)
        self.assertNotIn(" /v1/", service.log())
        self.assertEqual(self.emulator.requests(), 0)


@unittest.skipIf(MISSING or NO_PACKAGE, MISSING or NO_PACKAGE)
@unittest.skipUnless(os.geteuid() == 0, "writing Chromium's managed policy into %s needs root" % POLICY_DIR)
class ManagedPolicy(BrowserTest):
    """An administrator allows the application's origin by policy: its public page reaches loopback, and so does
    a frame of another site that the page delegates its permission to."""

    def test_the_policy_lets_the_public_page_and_a_delegated_frame_read_the_card(self):
        public = Pages()
        self.addCleanup(public.close)
        framed = Pages()  # another public site, in a frame of the application's page
        self.addCleanup(framed.close)
        service = self.start_service("--allow-origin", public.origin, "--allow-origin", framed.origin)
        framed.pages["/frame"] = lambda: REPORT % (
            "parent.postMessage(JSON.stringify(await read('%s')), '*');" % service.url)
        frame = framed.origin + "/frame"
        # The frames' reports are collected from the start: they may come before the page's module runs.
        public.pages["/app"] = lambda: (
            "<script>const framed = {}; addEventListener('message', (e) =>"
            " { framed[e.source === frames[0] ? 'allowed' : 'not_allowed'] = JSON.parse(e.data); });</script>"
            + REPORT % ("const page = await read('%s');"
                        "while (Object.keys(framed).length < 2) await new Promise((r) => setTimeout(r, 50));"
                        "report(Object.assign({page}, framed));" % service.url)
            + "<iframe allow='loopback-network' src='%s'></iframe><iframe src='%s'></iframe>" % (frame, frame))

        policy = os.path.join(POLICY_DIR, "q48reader-test-%d.json" % os.getpid())
        made = [d for d in ("/etc/chromium", "/etc/chromium/policies", POLICY_DIR) if not os.path.isdir(d)]
        try:
            os.makedirs(POLICY_DIR, exist_ok=True)
            with open(policy, "w") as f:
                json.dump({"LoopbackNetworkAllowedForUrls": [public.origin]}, f)
            start_chromium(self, [public, framed])  # Chromium reads the policies when it starts
            try:
                out = self.report(public.origin + "/app")
            finally:
                self.browser.quit()
        finally:
            if os.path.exists(policy):
                os.remove(policy)
            for folder in reversed(made):
                os.rmdir(folder)
        card = {"result": 0, "name": "陈思远", "portrait": "data:image/jpeg;base64,"}
        self.assertEqual((out["page"], out["allowed"]), (card, card))
        self.assertEqual((out["not_allowed"]["kind"], out["not_allowed"]["permission"]), ("unreachable", "denied"))


if __name__ == "__main__":
    unittest.main()
