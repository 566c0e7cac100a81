"""q48-service's page and a foreign page in headless Chromium (through chromium-driver), against q48-emulator.

Screenshots go to $Q48_SCREENSHOTS (CTest: <build>/screenshots)."""
import http.server
import os
import shutil
import tempfile
import threading
import unittest

from service_fixture import BIN, Emulator, Service, wait_for

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

FOREIGN_PAGE = """<!DOCTYPE html><meta charset="utf-8"><title>waiting</title><script>
const service = "%s";
const results = [];
async function attempt(name, f) {
  try { await f(); results.push(name + ":ok"); } catch (e) { results.push(name + ":failed"); }
}
(async () => {
  await attempt("cors", async () => (await fetch(service + "v1/card", {
    method: "POST", headers: {"Content-Type": "application/json"}, body: "{}"})).json());
  await attempt("simple", () => fetch(service + "v1/card", {method: "POST", mode: "no-cors", body: "{}"}));
  await attempt("module", () => import(service + "q48.js"));
  document.title = results.join(" ");
})();
</script>"""


ALLOWED_PAGE = """<!DOCTYPE html><meta charset="utf-8"><title>waiting</title><script type="module">
import { readCard } from "%sq48.js";
const card = await readCard();
document.title = [card.result, card.fields.name.trim(), card.fields.portrait.slice(0, 23)].join(" ");
</script>"""


@unittest.skipIf(MISSING, MISSING)
class Browser(unittest.TestCase):
    def setUp(self):
        self.emulator = Emulator()
        self.addCleanup(self.emulator.close)
        self.service = Service("--watch-interval", "200", device=self.emulator.device)
        self.addCleanup(self.service.close)
        profile = tempfile.TemporaryDirectory()
        self.addCleanup(profile.cleanup)
        options = Options()
        options.binary_location = CHROMIUM
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--window-size=1000,1000", "--user-data-dir=" + profile.name):
            options.add_argument(flag)
        self.browser = webdriver.Chrome(service=DriverService(DRIVER), options=options)
        self.addCleanup(self.browser.quit)
        os.makedirs(SCREENSHOTS, exist_ok=True)

    def text(self, element_id):
        return self.browser.find_element(By.ID, element_id).text

    def screenshot(self, name):
        self.assertTrue(self.browser.save_screenshot(os.path.join(SCREENSHOTS, name)))

    def test_the_page_reads_the_card_and_shows_the_portrait(self):
        self.browser.get(self.service.url)
        self.browser.find_element(By.ID, "read").click()
        self.assertTrue(wait_for(lambda: self.text("status") == "读卡成功"), self.text("status"))
        self.assertEqual((self.text("name"), self.text("nation"), self.text("sex")), ("陈思远", "汉族", "男"))
        self.assertTrue(wait_for(lambda: self.browser.execute_script(
            "const p = document.getElementById('portrait'); return p.complete && p.naturalWidth > 0;")))
        self.screenshot("service-page-read.png")
        errors = [entry for entry in self.browser.get_log("browser") if entry["level"] == "SEVERE"]
        self.assertEqual(errors, [], "no script or policy errors on the page")

    def serve_page(self, page):
        """Serves page() on another local port, another origin; its origin."""
        class Page(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.end_headers()
                self.wfile.write(page().encode())

            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        return "http://127.0.0.1:%d" % server.server_address[1]

    def test_a_page_of_another_origin_cannot_read(self):
        self.browser.get(self.serve_page(lambda: FOREIGN_PAGE % self.service.url) + "/")
        self.assertTrue(wait_for(lambda: self.browser.title != "waiting", timeout=20))
        # The CORS read and the module fail; the simple no-cors request is sent, and refused by the service.
        self.assertEqual(self.browser.title, "cors:failed simple:ok module:failed")
        self.assertEqual(self.emulator.read_card_requests(), 0, self.emulator.log())
        self.assertIn("403", self.service.log())

    def test_an_allowed_origin_reads_with_q48_js(self):
        # The README's example: a page of the application imports q48.js from the service.
        services = []
        origin = self.serve_page(lambda: ALLOWED_PAGE % services[0].url)
        services.append(Service("--allow-origin", origin, device=self.emulator.device))
        self.addCleanup(services[0].close)
        self.browser.get(origin + "/")
        self.assertTrue(wait_for(lambda: self.browser.title != "waiting", timeout=20))
        self.assertEqual(self.browser.title, "0 陈思远 data:image/jpeg;base64,")

    def test_the_page_shows_cards_placed_and_removed(self):
        self.browser.get(self.service.url)
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


if __name__ == "__main__":
    unittest.main()
