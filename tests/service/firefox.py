"""Headless Firefox driven through its own Marionette server (no geckodriver): a profile of its own, its prefs in
user.js, every connection outside loopback sent to a closed port."""
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

FIREFOX = shutil.which("firefox-esr") or shutil.which("firefox") or "/usr/bin/firefox-esr"
MISSING = "" if os.access(FIREFOX, os.X_OK) else "firefox-esr is not installed"

# Nothing outside loopback: a proxy on the discard port, which nothing listens on, for everything but the
# loopback names. Marionette on a free port, written to the profile's MarionetteActivePort.
BASE_PREFS = {
    "marionette.port": 0,
    "network.proxy.type": 1,
    "network.proxy.http": "127.0.0.1", "network.proxy.http_port": 9,
    "network.proxy.ssl": "127.0.0.1", "network.proxy.ssl_port": 9,
    "network.proxy.socks": "127.0.0.1", "network.proxy.socks_port": 9,
    "network.proxy.no_proxies_on": "localhost,127.0.0.1,biz.example.test",
    "network.dns.localDomains": "biz.example.test",
    "browser.shell.checkDefaultBrowser": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "toolkit.telemetry.reportingpolicy.firstRun": False,
    "app.update.disabledForTesting": True,
}


class Firefox:
    """One Firefox process and its Marionette session. `prefs` are added to BASE_PREFS."""

    def __init__(self, prefs, timeout=60):
        self.profile = tempfile.mkdtemp(prefix="q48-firefox-")
        self.process = None
        try:
            with open(os.path.join(self.profile, "user.js"), "w") as f:
                for name, value in dict(BASE_PREFS, **prefs).items():
                    f.write("user_pref(%s, %s);\n" % (json.dumps(name), json.dumps(value)))
            # System access: the tests change prefs and site permissions from the browser's own context.
            self.process = subprocess.Popen(
                [FIREFOX, "--headless", "--marionette", "--remote-allow-system-access", "--no-remote",
                 "--profile", self.profile],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            port_file = os.path.join(self.profile, "MarionetteActivePort")
            deadline = time.monotonic() + timeout
            while not (port := self.read(port_file)):
                if time.monotonic() > deadline or self.process.poll() is not None:
                    raise RuntimeError("Firefox did not start its Marionette server")
                time.sleep(0.05)
            self.socket = socket.create_connection(("127.0.0.1", int(port)), timeout=timeout)
            self.buffer = b""
            self.last_id = 0
            self.receive()  # the server's greeting
            self.command("WebDriver:NewSession", {"capabilities": {}})
        except BaseException:
            self.quit()
            raise

    @staticmethod
    def read(path):
        try:
            with open(path) as f:
                return f.read().strip()
        except FileNotFoundError:
            return ""

    def receive(self):
        """One length-prefixed JSON message."""
        while b":" not in self.buffer:
            self.buffer += self.recv()
        length, rest = self.buffer.split(b":", 1)
        while len(rest) < int(length):
            rest += self.recv()
        self.buffer = rest[int(length):]
        return json.loads(rest[:int(length)])

    def recv(self):
        data = self.socket.recv(65536)
        if not data:
            raise ConnectionError("Marionette closed the connection")
        return data

    def command(self, name, params=None):
        self.last_id += 1
        data = json.dumps([0, self.last_id, name, params or {}]).encode()
        self.socket.sendall(b"%d:%s" % (len(data), data))
        while True:
            _, message_id, error, result = self.receive()
            if message_id == self.last_id:
                break
        if error:
            raise RuntimeError("%s: %s" % (name, error.get("message", error)))
        return result

    def get(self, url):
        self.command("WebDriver:Navigate", {"url": url})

    @property
    def title(self):
        return self.command("WebDriver:GetTitle")["value"]

    def execute(self, body, *args, chrome=False):
        """Runs `body` as an async function of `arguments` in the page (or the browser's own context) and returns
        what it resolves to."""
        if chrome:
            self.command("Marionette:SetContext", {"value": "chrome"})
        try:
            script = "return (async function () { %s }).apply(this, arguments);" % body
            return self.command("WebDriver:ExecuteScript", {"script": script, "args": list(args)}).get("value")
        finally:
            if chrome:
                self.command("Marionette:SetContext", {"value": "content"})

    def set_site_permission(self, origin, action):
        """Sets (an action: "allow", "deny") or removes (None) the origin's loopback-network permission, as the
        user's remembered answer to the prompt does."""
        self.execute("""const [origin, action] = arguments;
            const principal = Services.scriptSecurityManager.createContentPrincipalFromOrigin(origin);
            if (action === null) Services.perms.removeFromPrincipal(principal, "loopback-network");
            else Services.perms.addFromPrincipal(principal, "loopback-network",
                action === "allow" ? Services.perms.ALLOW_ACTION : Services.perms.DENY_ACTION);""",
                     origin, action, chrome=True)

    def answer_prompt(self, allow, timeout=10):
        """Answers the loopback-network prompt as the user does with its Allow or Block button, once it shows."""
        return self.execute("""const [allow, timeout] = arguments;
            const popups = Services.wm.getMostRecentWindow("navigator:browser").PopupNotifications;
            const deadline = Date.now() + timeout * 1000;
            let prompt;
            while (!(prompt = popups._currentNotifications.find((n) => n.id === "loopback-network"))) {
              if (Date.now() > deadline) return false;
              await new Promise((resolve) => setTimeout(resolve, 50));
            }
            (allow ? prompt.mainAction : prompt.secondaryActions[0]).callback({checkboxChecked: false});
            popups.remove(prompt);
            return true;""", allow, timeout, chrome=True)

    def set_pref(self, name, value):
        """Sets an integer pref, or clears it (None)."""
        self.execute("""const [name, value] = arguments;
            if (value === null) Services.prefs.clearUserPref(name); else Services.prefs.setIntPref(name, value);""",
                     name, value, chrome=True)

    def quit(self):
        if self.process is not None:
            try:
                self.command("Marionette:Quit", {"flags": ["eForceQuit"]})
                self.process.wait(timeout=30)
            except Exception:
                if self.process.poll() is None:
                    os.killpg(self.process.pid, signal.SIGKILL)  # its own session: Firefox and its children
                    self.process.wait(timeout=30)
            finally:
                if hasattr(self, "socket"):
                    self.socket.close()
            self.process = None
        shutil.rmtree(self.profile, ignore_errors=True)
