"""q48-emulator and q48-service as processes, for the service's tests and benchmark."""
import http.client
import json
import os
import subprocess
import tempfile
import time

BIN = os.environ.get("Q48_BIN", os.path.join(os.path.dirname(__file__), "../../build/linux/bin"))
ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
# The stand-in decoder beside the tools, also when a sanitizer hides their RUNPATH.
ENV = dict(os.environ, LD_LIBRARY_PATH=BIN)


class Emulator:
    """q48-emulator on a new pty, logging to a file; commands go to its stdin."""

    def __init__(self, *flags):
        self.tmp = tempfile.TemporaryDirectory()
        self.log_path = os.path.join(self.tmp.name, "emulator.log")
        self.process = subprocess.Popen([os.path.join(BIN, "q48-emulator"), "--log", self.log_path, *flags],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, env=ENV)
        self.device = self.process.stdout.readline().strip()
        if not self.device.startswith("/dev/"):
            raise RuntimeError("the emulator printed no device: " + self.device)

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def log(self):
        with open(self.log_path, encoding="utf-8") as f:
            return f.read()

    def read_card_requests(self):
        return self.log().count("request 10,4 ")

    def requests(self):
        """How many requests of any kind reached the emulator."""
        return self.log().count(" request ")

    def close(self):
        self.process.terminate()
        self.process.communicate(timeout=10)
        self.tmp.cleanup()


class Service:
    """q48-service on a free loopback port; `port` and `url` once it listens."""

    def __init__(self, *flags, device=None):
        self.tmp = tempfile.TemporaryDirectory()
        self.stderr_path = os.path.join(self.tmp.name, "service.log")
        args = [os.path.join(BIN, "q48-service"), "--listen", "127.0.0.1:0", *flags]
        if device:
            args += ["--port", device]
        # The folder systemd's CacheDirectory= would give: the portraits go
        # there, not to the tester's own cache.
        self.cache = os.path.join(self.tmp.name, "cache")
        os.mkdir(self.cache, 0o700)
        with open(self.stderr_path, "w") as stderr:
            self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=stderr, text=True,
                                            env=dict(ENV, CACHE_DIRECTORY=self.cache))
        line = self.process.stdout.readline()
        if "listening on http://127.0.0.1:" not in line:
            self.process.kill()
            raise RuntimeError("the service did not start: " + line + self.log())
        self.url = line.split("listening on ")[1].strip()
        self.port = int(self.url.rsplit(":", 1)[1].strip("/"))

    def log(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def request(self, method, path, body=None, headers=None, timeout=60):
        """(status, headers, body bytes) of one request on a new connection."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.headers, response.read()
        finally:
            connection.close()

    def post(self, path, body="{}", headers=None):
        status, response_headers, data = self.request(
            "POST", path, body, dict({"Content-Type": "application/json"}, **(headers or {})))
        return status, response_headers, json.loads(data) if data else None

    def close(self):
        """Stops the service (once); its exit status. Raises when a sanitizer reported anything."""
        if self.tmp is None:
            return self.process.returncode
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=60)
        code = self.process.returncode
        self.process.stdout.close()
        log = self.log()
        self.tmp.cleanup()
        self.tmp = None
        if "Sanitizer" in log:
            raise AssertionError("the sanitizer reported:\n" + log[max(0, log.find("==")):][:4000])
        return code


def wait_for(predicate, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()
