"""The client package and q48-service's page in headless Firefox ESR, against q48-emulator: the cases of
test_browser.py, and Firefox's permission prompt, which it shows for any public page.

One Firefox serves the cases that need no policy; prefs and site permissions are changed in it as each case
needs. Firefox takes one port of a local page server for a public address (network.lna.address_space.public.
override), which is how it treats a business web application on the internet."""
import json
import os
import time
import unittest

import firefox
from service_fixture import Emulator, Service, wait_for
from test_browser import CLIENT, ELEMENTS, NO_PACKAGE, Pages

POLICY = "/etc/firefox/policies/policies.json"  # read before the package's own distribution/policies.json
PROMPT_TIMEOUT_MS = 4000  # network.lna.prompt.timeout: how long an unanswered prompt holds a request

# Each page reports through its title: "waiting" until it has a JSON result. `events` lists the package's
# permission events with the milliseconds since the page's script started.
REPORT = """<script type="module">
import { events, readCard, setServiceUrl, watch } from "%s";
const start = performance.now();
const seen = [];
const ms = () => Math.round(performance.now() - start);
events.addEventListener("permissionpending", () => seen.push(["pending", ms()]));
events.addEventListener("permissionsettled", (e) => seen.push([e.detail.permission, ms()]));
const report = (result) => { document.title = JSON.stringify(Object.assign(result, {events: seen})); };
const read = async (service) => {
  setServiceUrl(service);
  const begun = performance.now();
  try {
    const card = await readCard();
    return {result: card.result, name: card.fields.name.trim(), portrait: card.fields.portrait.slice(0, 23)};
  } catch (err) {
    return {kind: err.kind, permission: err.permission, ms: Math.round(performance.now() - begun),
            bilingual: /[\\u4e00-\\u9fff]/.test(err.zh) && /[a-z]/.test(err.en)};
  }
};
%%s
</script><title>waiting</title>""" % CLIENT

CARD = {"result": 0, "name": "陈思远", "portrait": "data:image/jpeg;base64,"}
SKIP = firefox.MISSING or NO_PACKAGE


class FirefoxTest(unittest.TestCase):
    def setUp(self):
        self.emulator = Emulator()
        self.addCleanup(self.emulator.close)

    def start_service(self, *flags):
        service = Service(*flags, device=self.emulator.device)
        self.addCleanup(service.close)
        return service

    def report(self, url, timeout=20):
        """Opens a page and returns what it reported in its title."""
        self.browser.get(url)
        self.assertTrue(wait_for(lambda: self.browser.title != "waiting", timeout=timeout), url)
        return json.loads(self.browser.title)

    def assert_nothing_reached_the_reader(self, service, before=0):
        self.assertNotIn(" /v1/", service.log())
        self.assertEqual(self.emulator.requests(), before)


@unittest.skipIf(SKIP, SKIP)
class Firefox(FirefoxTest):
    @classmethod
    def setUpClass(cls):
        cls.local = Pages()  # an application on this computer
        cls.addClassCleanup(cls.local.close)
        # Applications on the internet: one for each answer to the prompt, which Firefox keeps for the tab.
        cls.public, cls.allowed, cls.blocked = Pages(), Pages(), Pages()
        for pages in (cls.public, cls.allowed, cls.blocked):
            cls.addClassCleanup(pages.close)
        cls.browser = firefox.Firefox({
            "network.lna.address_space.public.override": ",".join(
                "127.0.0.1:%d" % pages.server_address[1] for pages in (cls.public, cls.allowed, cls.blocked)),
            "network.lna.prompt.timeout": PROMPT_TIMEOUT_MS})
        cls.addClassCleanup(cls.browser.quit)

    def test_the_service_page_and_an_allowed_local_page_read_the_card(self):
        service = self.start_service("--allow-origin", self.local.origin)
        stopped = Service()
        stopped.close()
        self.browser.get(service.url)
        self.browser.execute("document.getElementById('read').click();")
        text = lambda element: self.browser.execute("return document.getElementById(arguments[0]).textContent;",
                                                    element)
        self.assertTrue(wait_for(lambda: text("status") == "读卡成功"), text("status"))
        self.assertEqual(text("name"), "陈思远")
        self.local.pages["/app"] = lambda: REPORT % (
            "report({card: await read('%s'), stopped: await read('%s')});" % (service.url, stopped.url))
        out = self.report(self.local.origin + "/app")
        self.assertEqual(out["card"], CARD)
        self.assertEqual((out["stopped"]["kind"], out["stopped"]["bilingual"]), ("unreachable", True))
        self.assertLess(out["stopped"]["ms"], 5000)
        self.assertEqual(out["events"], [], "a local page is never asked")

    def test_a_page_of_an_origin_not_allowed_gets_forbidden_and_reaches_no_reader(self):
        service = self.start_service("--watch-interval", "100")
        self.local.pages["/foreign"] = lambda: ELEMENTS % {"s": service.url} + REPORT % (
            "report({read: await read('%s')});" % service.url)
        out = self.report(self.local.origin + "/foreign")
        self.assertEqual((out["read"]["kind"], out["read"]["bilingual"]), ("forbidden", True))
        time.sleep(0.5)  # an event stream that got through would have read the card at once
        self.assertEqual(self.emulator.requests(), 0, self.emulator.log())
        log = service.log()
        for path in ("/v1/events", "/v1/reader", "/v1/card"):
            self.assertIn(" %s 403 " % path, log)
        self.assertNotIn(" 200 ", log)

    def test_watch_reports_a_placed_card_and_its_removal(self):
        service = self.start_service("--allow-origin", self.local.origin, "--watch-interval", "200")
        self.local.pages["/watch"] = lambda: REPORT % (
            "const names = []; setServiceUrl('%s');"
            "watch((card) => { names.push(card.fields.name.trim()); document.title = JSON.stringify(names); },"
            "      () => { names.push('removed'); document.title = JSON.stringify(names); });" % service.url)
        self.browser.get(self.local.origin + "/watch")
        title = lambda: self.browser.title
        self.assertTrue(wait_for(lambda: title() == '["陈思远"]'), title())
        self.emulator.command("remove")
        self.assertTrue(wait_for(lambda: title() == '["陈思远","removed"]'), title())
        self.emulator.command("place")
        self.assertTrue(wait_for(lambda: title() == '["陈思远","removed","陈思远"]'), title())

    def test_a_public_page_is_told_of_the_prompt_at_once_and_refused_when_it_times_out(self):
        service = self.start_service("--allow-origin", self.public.origin)
        self.public.pages["/app"] = lambda: REPORT % ("report(await read('%s'));" % service.url)
        out = self.report(self.public.origin + "/app", timeout=PROMPT_TIMEOUT_MS / 1000 + 15)
        (pending, pending_ms), (settled, settled_ms) = out["events"]
        self.assertEqual(pending, "pending")
        self.assertLess(pending_ms, 3000)
        self.assertEqual(settled, "denied")
        self.assertGreaterEqual(settled_ms, PROMPT_TIMEOUT_MS - 500)
        self.assertEqual((out["kind"], out["permission"], out["bilingual"]), ("unreachable", "denied", True))
        self.assert_nothing_reached_the_reader(service)

    def test_the_user_answers_the_prompt_while_the_call_waits(self):
        for pages, allow in ((self.allowed, True), (self.blocked, False)):
            service = self.start_service("--allow-origin", pages.origin)
            # A read and a watch at once: they share the one question.
            pages.pages["/app"] = lambda: REPORT % (
                "const sleep = (ms) => new Promise((r) => setTimeout(r, ms));"
                "setServiceUrl('%s'); const watched = [];"
                "watch((c) => watched.push(c.fields.name.trim()), null, null, (e) => watched.push(e.kind));"
                "const card = read('%s');"
                "while (!seen.length) await sleep(20);"
                "document.title = 'asking';"
                "const out = await card;"
                "for (let i = 0; i < 100 && !watched.length; i++) await sleep(50);"
                "report(Object.assign(out, {watched}));" % (service.url, service.url))
            before = self.emulator.requests()
            self.browser.get(pages.origin + "/app")
            self.assertTrue(wait_for(lambda: self.browser.title == "asking", timeout=3), self.browser.title)
            self.assertTrue(self.browser.answer_prompt(allow))
            self.assertTrue(wait_for(lambda: self.browser.title.startswith("{")), self.browser.title)
            out = json.loads(self.browser.title)
            if allow:
                self.assertEqual(out["events"][1][0], "granted")
                self.assertEqual(out, dict(CARD, events=out["events"], watched=["陈思远"]))
            else:
                self.assertEqual(out["events"][1][0], "denied")
                self.assertEqual((out["kind"], out["permission"], out["watched"]),
                                 ("unreachable", "denied", ["unreachable"]))
                self.assertLess(out["ms"], PROMPT_TIMEOUT_MS, "the refusal, not the prompt's timeout")
                self.assert_nothing_reached_the_reader(service, before)
            self.assertEqual(out["events"][0][0], "pending")
            self.assertLess(out["events"][0][1], 3000)

    def test_a_public_page_denied_by_default_is_refused_at_once(self):
        service = self.start_service("--allow-origin", self.public.origin)
        self.public.pages["/app"] = lambda: REPORT % ("report(await read('%s'));" % service.url)
        self.browser.set_pref("permissions.default.loopback-network", 2)
        try:
            out = self.report(self.public.origin + "/app")
        finally:
            self.browser.set_pref("permissions.default.loopback-network", None)
        self.assertEqual((out["kind"], out["events"]), ("unreachable", []))
        self.assertLess(out["ms"], 1500)
        self.assertNotIn(" GET ", service.log())  # not even the package's first look
        self.assertEqual(self.emulator.requests(), 0)

    def test_a_public_page_with_the_site_permission_reads_the_card(self):
        service = self.start_service("--allow-origin", self.public.origin)
        self.public.pages["/app"] = lambda: REPORT % ("report(await read('%s'));" % service.url)
        self.browser.set_site_permission(self.public.origin, "allow")
        try:
            out = self.report(self.public.origin + "/app")
        finally:
            self.browser.set_site_permission(self.public.origin, None)
        self.assertEqual(out, dict(CARD, events=[]))

    def test_a_public_page_refused_for_good_is_told_denied_at_once(self):
        service = self.start_service("--allow-origin", self.public.origin)
        self.public.pages["/app"] = lambda: REPORT % ("report(await read('%s'));" % service.url)
        self.browser.set_site_permission(self.public.origin, "deny")
        try:
            out = self.report(self.public.origin + "/app")
        finally:
            self.browser.set_site_permission(self.public.origin, None)
        self.assertEqual((out["kind"], out["permission"], out["events"]), ("unreachable", "denied", []))
        self.assertLess(out["ms"], 1500)
        self.assert_nothing_reached_the_reader(service)


@unittest.skipIf(SKIP, SKIP)
@unittest.skipUnless(os.geteuid() == 0, "writing Firefox's enterprise policy %s needs root" % POLICY)
class EnterprisePolicy(FirefoxTest):
    """An administrator exempts the application's host name: its public page reads the card without a prompt."""

    def test_the_policy_lets_the_public_page_read_the_card(self):
        if os.path.exists(POLICY):
            self.skipTest("%s exists: this computer's own policy is left as it is" % POLICY)
        public = Pages()
        self.addCleanup(public.close)
        origin = "http://biz.example.test:%d" % public.server_address[1]
        service = self.start_service("--allow-origin", origin)
        public.pages["/app"] = lambda: REPORT % ("report(await read('%s'));" % service.url)
        made = [d for d in ("/etc/firefox", "/etc/firefox/policies") if not os.path.isdir(d)]
        try:
            os.makedirs(os.path.dirname(POLICY), exist_ok=True)
            with open(POLICY, "w") as f:
                json.dump({"policies": {"LocalNetworkAccess": {"SkipDomains": ["biz.example.test"],
                                                               "Locked": True}}}, f)
            # Firefox reads its policies as it starts: the file goes as soon as it runs.
            self.browser = firefox.Firefox(
                {"network.lna.address_space.public.override": "127.0.0.1:%d" % public.server_address[1]})
        finally:
            if os.path.exists(POLICY):
                os.remove(POLICY)
            for folder in reversed(made):
                os.rmdir(folder)
        self.addCleanup(self.browser.quit)
        out = self.report(origin + "/app")
        self.assertEqual(out, dict(CARD, events=[]))


if __name__ == "__main__":
    unittest.main()
