"""The q48 client, q48-emulator and the Python example, run as processes."""
import base64
import json
import os
import pty
import re
import select
import subprocess
import tempfile
import time
import tty
import unittest

BIN = os.environ.get("Q48_BIN", os.path.join(os.path.dirname(__file__), "../../build/linux/bin"))
ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
SAMPLE = {
    "name": "陈思远            ", "sex_code": "1", "nation": "汉族", "birth_date": "19880614",
    "address": "浙江省杭州市西湖区青柳路一百二十八号三幢", "id_number": "33010619880614131X",
    "issuing_authority": "杭州市公安局西湖分局", "valid_from": "20190826", "valid_to": "20390826",
    "reserved": "",
}


class Emulator:
    """q48-emulator in the background; its pty path is `device`."""

    def __init__(self, *flags, stdin=subprocess.DEVNULL):
        self.process = subprocess.Popen([os.path.join(BIN, "q48-emulator"), *flags], stdin=stdin,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.device = self.process.stdout.readline().strip()

    def close(self):
        if self.process.stdin and self.process.stdin.closed:
            self.process.stdin = None  # closed by the test: the end of the commands
        self.process.terminate()
        _, log = self.process.communicate(timeout=10)
        return log


def q48(*args, timeout=60):
    return subprocess.run([os.path.join(BIN, "q48"), *args], capture_output=True, timeout=timeout)


class ClientAgainstEmulator(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.emulators = []

    def tearDown(self):
        for emulator in self.emulators:
            emulator.close()
        self.tmp.cleanup()

    def emulator(self, *flags):
        emulator = Emulator(*flags)
        self.emulators.append(emulator)
        self.assertTrue(emulator.device.startswith("/dev/"), emulator.device)
        return emulator

    def json_of(self, run):
        self.assertEqual(run.stdout.count(b"\n"), 1, run.stdout)
        return json.loads(run.stdout.decode("utf-8"))

    def test_every_command_in_json(self):
        device = self.emulator().device
        photo = os.path.join(self.tmp.name, "me.jpg")
        run = q48("--port", device, "--json", "read-card", "--photo", photo)
        self.assertEqual(run.returncode, 0, run.stderr)
        out = self.json_of(run)
        self.assertEqual((out["command"], out["result"], out["result_name"]), ("read-card", 0, "Q48_OK"))
        # The shape web pages and scripts rely on: the card's keys in the buffer's order, then the picture's.
        self.assertEqual(list(out["fields"]), ["card_kind", *SAMPLE, "portrait", "photo_bytes", "photo"])
        self.assertEqual(out["fields"]["card_kind"], "resident")
        for key, value in SAMPLE.items():
            self.assertEqual(out["fields"][key], value, key)
        self.assertEqual(out["fields"]["photo"], photo)
        with open(photo, "rb") as f:
            jpeg = f.read()
        self.assertEqual(jpeg[:2], b"\xff\xd8")
        self.assertEqual(int(out["fields"]["photo_bytes"]), len(jpeg))
        self.assertEqual(out["fields"]["portrait"], "data:image/jpeg;base64," + base64.b64encode(jpeg).decode())
        self.assertEqual(run.stderr, b"")

        out = self.json_of(q48("--port", device, "--json", "iccid"))
        self.assertEqual(out["fields"]["iccid"], "89860318720012345678")
        run = q48("--port", device, "--json", "card-type")
        out = self.json_of(run)
        # Card type 1 is a card type, not "reader found".
        self.assertEqual((run.returncode, out["result"], out["result_name"], out["fields"]["card_type"]),
                         (0, 1, "card type", "1"))
        self.assertIn("card type 1", out["message"])
        run = q48("--port", device, "--json", "write", "--number", "13800138000", "--content", "hi")
        self.assertEqual((run.returncode, self.json_of(run)["result"]), (0, 0))
        out = self.json_of(q48("--port", device, "--json", "list"))
        self.assertEqual((out["result"], out["result_name"]), (1, "Q48_READER_FOUND"))

    def test_labels_for_people(self):
        run = q48("--port", self.emulator().device, "read-card", "--no-photo")
        text = run.stdout.decode("utf-8")
        self.assertEqual([line.split(":")[0] for line in text.splitlines()],
                         ["Card", "Name", "Sex code", "Ethnic group", "Birth date", "Address", "ID number", "Issued by",
                          "Valid from", "Valid to", "Reserved", "Portrait bytes", "Result"])
        self.assertIn("Card:           resident identity card\n", text)
        self.assertIn("Ethnic group:   汉族\n", text)
        self.assertIn("Result:         0 Q48_OK", text)
        self.assertIn(b"Exit status: 0 success, 1 usage, 2 no reader, 3 the reader refused, 4 bad argument, "
                      b"5 no answer or port unavailable.", q48("--help").stdout)

    def test_failures_have_their_exit_status_and_explanation(self):
        refusing = self.emulator("--status", "1").device
        run = q48("--port", refusing, "--json", "read-card")
        out = self.json_of(run)
        self.assertEqual((run.returncode, out["result"], out["result_name"]), (3, -6, "Q48_ERR_READ_CARD"))
        # The explanation goes to stderr as well, beside the JSON on stdout; the same without --json.
        self.assertTrue(out["message"])
        self.assertEqual(run.stderr.decode(), "q48: " + out["message"] + "\n")
        run = q48("--port", refusing, "read-card")
        self.assertEqual(run.stderr.decode(), "q48: " + out["message"] + "\n")
        self.assertIn("Result:         -6 Q48_ERR_READ_CARD\n", run.stdout.decode())
        run = q48("--port", refusing, "--json", "iccid")
        self.assertEqual((run.returncode, self.json_of(run)["result"]), (3, -2))

        run = q48("--port", refusing, "--json", "write", "--number", "", "--content", "x")
        self.assertEqual((run.returncode, self.json_of(run)["result"]), (4, -3))

        missing = os.path.join(self.tmp.name, "ttyUSB9")
        for command, status, result in (("read-card", 2, -1), ("card-type", 5, -4)):
            run = q48("--port", missing, "--json", command)
            out = self.json_of(run)
            self.assertEqual((run.returncode, out["result"]), (status, result))
            self.assertTrue(out["message"].startswith(
                "cannot open " + missing + ": No such file or directory; check the device name"), out["message"])

        silent = self.emulator("--no-answer").device
        run = q48("--port", silent, "--json", "read-card")
        self.assertEqual((run.returncode, self.json_of(run)["result"]), (5, -4))

    @unittest.skipUnless(os.geteuid() == 0, "needs root to run q48 as another user")
    def test_a_port_without_permission_says_how_to_get_it(self):
        device = self.emulator().device  # root's pty: nobody may not open it
        run = subprocess.run([os.path.join(BIN, "q48"), "--port", device, "list"], capture_output=True, timeout=60,
                             user="nobody")
        self.assertEqual(run.returncode, 2)
        message = run.stderr.decode()
        self.assertIn("cannot open " + device + ": Permission denied; ", message)
        self.assertIn('TAG+="uaccess"', message)
        self.assertIn("dialout", message)

    def test_write_sends_gbk(self):
        device = self.emulator().device
        # Nine Chinese characters: 18 bytes in GBK (allowed), 27 in UTF-8 (too long).
        run = q48("--port", device, "write", "--number", "13800138000", "--content", "一二三四五六七八九")
        self.assertEqual(run.returncode, 0, run.stderr)
        run = q48("--port", device, "write", "--number", "13800138000", "--content", "emoji \U0001F600")
        self.assertEqual(run.returncode, 4)
        self.assertIn(b"GBK", run.stderr)

    def test_usage_help_and_version(self):
        for args in ([], ["frobnicate"], ["write", "--number", "1"], ["--port"], ["list", "extra"],
                     ["read-card", "--photo", "x", "--no-photo"]):
            run = q48(*args)
            self.assertEqual((run.returncode, run.stdout), (1, b""), args)
            self.assertIn(b"Usage: q48", run.stderr)
        run = q48("--help")
        self.assertEqual(run.returncode, 0)
        for command in (b"list", b"read-card", b"iccid", b"card-type", b"write", b"--port", b"--json"):
            self.assertIn(command, run.stdout)
        with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
            version = re.search(r"project\(Q48Reader VERSION (\S+)", f.read()).group(1)
        run = q48("--version")
        self.assertEqual((run.returncode, run.stdout.decode().strip()), (0, "q48 " + version))

    def test_trace_shows_frames_with_meaning(self):
        run = q48("--port", self.emulator().device, "--trace", "card-type")
        trace = run.stderr.decode()
        self.assertIn("> read card type request (group 3, code 10), 18 bytes: "
                      "55 55 55 55 55 55 55 55 04 06 00 00 03 0A 01 5B 2B 06", trace)
        self.assertIn("< read card type answer (group 3, code 10), status 0 (success), 4 bytes: 03 0A 00 01", trace)

    def test_trace_leaves_personal_data_out(self):
        device = self.emulator().device
        iccid = q48("--port", device, "--trace", "iccid").stderr.decode()
        self.assertIn("< read ICCID answer (group 3, code 15), status 0 (success), 24 bytes: 03 0F 00 "
                      "(21 bytes of card data left out)", iccid)
        write = q48("--port", device, "--trace", "write", "--number", "13800138000", "--content", "hello")
        write = write.stderr.decode()
        self.assertIn("> write number request (group 3, code 12), 33 bytes: ", write)
        self.assertIn("(16 bytes of text left out)", write)
        self.assertIn("(12 bytes of text left out)", write)
        for secret in ("89860012345678901234", "13800138000", "hello"):
            self.assertNotIn(" ".join("%02X" % b for b in secret.encode()[:4]), iccid + write)

    def test_emulator_logs_each_exchange_and_misbehaves_on_request(self):
        emulator = Emulator("--split", "3,20", "--pause-ms", "5", "--noise", "7")
        try:
            run = q48("--port", emulator.device, "--json", "iccid")
            self.assertEqual(self.json_of(run)["result"], 0)
        finally:
            log = emulator.close()
        self.assertIn("request 3,15", log)


PROFILES = os.path.join(ROOT, "tools/emulator/profiles")
CARD_TYPE_REQUEST = bytes.fromhex("55555555555555550406000003 0A 01 5B2B06".replace(" ", ""))
CARD_TYPE_ANSWER = bytes.fromhex("555555555555555504070000030A0001785506")


def read_from(fd, count, timeout=5):
    got = b""
    deadline = time.monotonic() + timeout
    while len(got) < count and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            got += os.read(fd, 4096)
    return got


# Each kind's result fields from its shipped profile, in the result's order.
KINDS = {
    "hk-mo-tw-permit.json": {
        "card_kind": "hk_mo_tw", "name": "黄嘉欣            ", "sex_code": "2", "nation": "", "birth_date": "19960415",
        "address": "广东省深圳市福田区福华三路一百零八号", "id_number": "810000199604150024",
        "issuing_authority": "深圳市公安局", "valid_from": "20210601", "valid_to": "20260601",
        "pass_number": "H60293847", "issue_count": "01"},
    "foreign-2017.json": {
        "card_kind": "foreign_2017", "name": "MILLER, JAMES ROBERT", "english_name": "MILLER, JAMES ROBERT",
        "chinese_name": "米乐杰", "sex_code": "1", "nationality": "USA", "birth_date": "19850615",
        "id_number": "USA110085061508", "authority_code": "1100", "valid_from": "20180310", "valid_to": "20280310",
        "card_version": "01"},
    "foreign-2023.json": {
        "card_kind": "foreign_2023", "name": "GARCIA LOPEZ, MARIA FERNANDA",
        "english_name": "GARCIA LOPEZ, MARIA FERNANDA", "chinese_name": "高玛丽", "sex_code": "2",
        "nationality": "ESP", "birth_date": "19890312", "id_number": "931724198903128221", "valid_from": "20230901",
        "valid_to": "20330901", "renewal_count": "01", "previous_number_link": "508"},
}


class CardKinds(unittest.TestCase):
    def test_each_kind_in_json_and_text(self):
        for profile, want in KINDS.items():
            emulator = Emulator("--profile", os.path.join(PROFILES, profile))
            self.addCleanup(emulator.close)
            run = q48("--port", emulator.device, "--json", "read-card", "--no-photo")
            self.assertEqual(run.returncode, 0, run.stderr)
            fields = json.loads(run.stdout.decode("utf-8"))["fields"]
            self.assertEqual(list(fields), [*want, "portrait", "photo_bytes"], profile)
            self.assertEqual({key: fields[key] for key in want}, want, profile)
            self.assertTrue(fields["portrait"].startswith("data:image/jpeg;base64,/9j/"), profile)
            text = q48("--port", emulator.device, "read-card", "--no-photo").stdout.decode("utf-8")
            if want["card_kind"] == "foreign_2023":
                self.assertEqual([line.split(":")[0] for line in text.splitlines()],
                                 ["Card", "English name", "Chinese name", "Sex code", "Nationality", "Birth date",
                                  "Card number", "Valid from", "Valid to", "Renewal count", "Earlier card link",
                                  "Portrait bytes", "Result"])
                # One column for the values, past the longest label.
                self.assertEqual({len(line) - len(line.split(":", 1)[1].lstrip(" ")) for line in text.splitlines()},
                                 {len("Earlier card link: ")}, text)
                self.assertIn("Card:              foreign permanent residence card (2023)\n", text)
                self.assertIn("Nationality:       ESP (Spain, 西班牙)\n", text)
            elif want["card_kind"] == "hk_mo_tw":
                self.assertIn("Pass number:    H60293847\n", text)
                self.assertNotIn("Reserved", text)
            else:
                self.assertIn("Nationality:    USA (United States, 美国)\n", text)

    def test_unknown_mark_is_reported_beside_a_resident_reading(self):
        profile = os.path.join(tempfile.mkdtemp(), "unknown.json")
        self.addCleanup(os.remove, profile)
        with open(profile, "w", encoding="utf-8") as f:
            json.dump({"id_card": {"name": "陈思远", "id_number": "33010619880614131X", "kind_mark": "Q"}}, f)
        emulator = Emulator("--profile", profile)
        self.addCleanup(emulator.close)
        run = q48("--port", emulator.device, "--json", "read-card", "--no-photo")
        fields = json.loads(run.stdout.decode("utf-8"))["fields"]
        self.assertEqual((run.returncode, list(fields)[:3], fields["kind_mark"], fields["id_number"]),
                         (0, ["card_kind", "kind_mark", "name"], "Q", "33010619880614131X"))
        self.assertEqual(fields["card_kind"], "unknown")
        text = q48("--port", emulator.device, "read-card", "--no-photo").stdout.decode("utf-8")
        self.assertIn("(mark Q)\n", text)

    def test_profiles_name_their_kind_and_only_its_fields(self):
        bad = os.path.join(tempfile.mkdtemp(), "bad.json")
        self.addCleanup(os.remove, bad)
        for card, message in (
                ('{"card_kind": "foreign_2023", "address": "x"}', ':1:43: "address" is not a field of a foreign_2023'),
                ('{"card_kind": "passport"}', ':1:27: "card_kind" names no kind of card'),
                ('{"english_name": "%s", "card_kind": "foreign_2023"}' % ("A" * 47),
                 ':1:14: "english_name" is 47 characters long (UTF-16 units); a foreign_2023 card holds 46')):
            with open(bad, "w") as f:
                f.write('{"id_card": %s}' % card)
            run = subprocess.run([os.path.join(BIN, "q48-emulator"), "--profile", bad], capture_output=True, timeout=10)
            self.assertEqual(run.returncode, 1, card)
            self.assertIn(bad + message, run.stderr.decode(), card)
        help_text = subprocess.run([os.path.join(BIN, "q48-emulator"), "--help"], capture_output=True,
                                   timeout=10).stdout.decode()
        for profile in (*KINDS, "sample-card.json"):
            self.assertIn(profile, help_text)


class EmulatorProfilesAndLog(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def emulator(self, *flags, stdin=subprocess.DEVNULL):
        emulator = Emulator(*flags, stdin=stdin)
        self.addCleanup(emulator.close)
        self.assertTrue(emulator.device, "the emulator printed no line")
        return emulator

    def test_profiles_change_what_the_reader_answers(self):
        device = self.emulator("--profile", os.path.join(PROFILES, "long-term-validity.json")).device
        run = q48("--port", device, "--json", "read-card", "--photo", os.path.join(self.tmp.name, "p.jpg"))
        fields = json.loads(run.stdout.decode("utf-8"))["fields"]
        self.assertEqual((fields["name"].rstrip(), fields["nation"], fields["valid_from"], fields["valid_to"]),
                         ("马秀兰", "回族", "20150312", "长期"))
        self.assertGreater(int(fields["photo_bytes"]), 0)  # the portrait from the profile's portrait_file

        device = self.emulator("--profile", os.path.join(PROFILES, "sim-refuses-writes.json")).device
        out = json.loads(q48("--port", device, "--json", "iccid").stdout)
        self.assertEqual(out["fields"]["iccid"], "89860117851012345678")
        self.assertEqual(json.loads(q48("--port", device, "--json", "card-type").stdout)["result"], 2)
        run = q48("--port", device, "--json", "write", "--number", "13800138000", "--content", "x")
        self.assertEqual((run.returncode, json.loads(run.stdout)["result"]), (3, -2))

    def test_print_profile_is_the_shipped_sample(self):
        run = subprocess.run([os.path.join(BIN, "q48-emulator"), "--print-profile"], capture_output=True, timeout=10)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(os.path.join(PROFILES, "sample-card.json"), "rb") as f:
            self.assertEqual(run.stdout, f.read())
        run = subprocess.run([os.path.join(BIN, "q48-emulator"), "--refuse-writes", "--print-profile", "--profile",
                              os.path.join(PROFILES, "long-term-validity.json")], capture_output=True, timeout=10)
        printed = json.loads(run.stdout)
        self.assertEqual((printed["accept_writes"], printed["id_card"]["valid_to"]), (False, "长期"))
        # A profile with the first keys is read with a warning and printed with today's.
        old = os.path.join(self.tmp.name, "old.json")
        with open(old, "w") as f:
            f.write('{"cardType": 2, "idCard": {"validity": "20150312长期"}}')
        run = subprocess.run([os.path.join(BIN, "q48-emulator"), "--print-profile", "--profile", old],
                             capture_output=True, timeout=10)
        self.assertIn(old + ':1:2: "cardType" is the old name of "card_type"', run.stderr.decode())
        printed = json.loads(run.stdout)
        self.assertEqual((printed["card_type"], printed["id_card"]["valid_from"], printed["id_card"]["valid_to"]),
                         (2, "20150312", "长期"))

    def test_bad_profiles_and_logs_stop_the_tool_with_a_reason(self):
        bad = os.path.join(self.tmp.name, "bad.json")
        with open(bad, "w") as f:
            f.write('{\n  "card_type": 300\n}\n')
        cases = [
            (["--profile", bad], bad + ':2:16: "card_type" is 300, outside 0 to 255'),
            (["--profile", os.path.join(self.tmp.name, "none.json")], "none.json: No such file or directory"),
            (["--log", os.path.join(self.tmp.name, "no/such/dir.log")], "cannot open the log: "),
            (["--com", "/nonexistent/ttyS9"], "/nonexistent/ttyS9: No such file or directory"),
        ]
        for flags, message in cases:
            run = subprocess.run([os.path.join(BIN, "q48-emulator"), *flags], capture_output=True, timeout=10)
            self.assertEqual((run.returncode, run.stdout), (1, b""), flags)
            self.assertIn(message, run.stderr.decode(), flags)
        for flags in (["--profile"], ["--log"], ["--com"], ["--profile", ""]):
            run = subprocess.run([os.path.join(BIN, "q48-emulator"), *flags], capture_output=True, timeout=10)
            self.assertEqual(run.returncode, 2, flags)
            self.assertIn(b"usage:", run.stderr)

    def test_log_file_holds_what_stderr_shows_and_grows_across_runs(self):
        log = os.path.join(self.tmp.name, "exchanges.log")
        for run in range(2):
            emulator = Emulator("--log", log)
            try:
                self.assertEqual(q48("--port", emulator.device, "iccid").returncode, 0)
            finally:
                stderr = emulator.close()
            with open(log, encoding="utf-8") as f:
                lines = f.read().splitlines()
            self.assertEqual(lines[-len(stderr.splitlines()):], stderr.splitlines())
            self.assertEqual(len(lines), 3 * (run + 1))
        self.assertIn("serving " + emulator.device + " with the built-in sample card", lines[-3])
        self.assertIn("request 3,15 (17 bytes) -> 3,15 status 0, 39 bytes", lines[-2])
        self.assertIn("stopping on SIGTERM", lines[-1])

    def test_help_and_version(self):
        run = subprocess.run([os.path.join(BIN, "q48-emulator"), "--help"], capture_output=True, timeout=10)
        self.assertEqual(run.returncode, 0)
        self.assertIn(b"usage: q48-emulator", run.stdout)
        self.assertIn(b"place PROFILE", run.stdout)
        run = subprocess.run([os.path.join(BIN, "q48-emulator"), "--version"], capture_output=True, timeout=10)
        self.assertEqual(run.returncode, 0)
        self.assertRegex(run.stdout.decode(), r"^q48-emulator \d+\.\d+\.\d+\n$")

    def test_commands_on_stdin_remove_and_place_cards(self):
        other = os.path.join(self.tmp.name, "other.json")
        with open(other, "w") as f:
            f.write('{"iccid": "8986001", "idCard": {"idNumber": "110101199003077777"}}')
        bad = os.path.join(self.tmp.name, "bad.json")
        with open(bad, "w") as f:
            f.write('{"card_type": 300}')
        log = os.path.join(self.tmp.name, "commands.log")
        emulator = self.emulator("--log", log, stdin=subprocess.PIPE)

        def command(line, logged):
            emulator.process.stdin.write(line + "\n")
            emulator.process.stdin.flush()
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                with open(log, encoding="utf-8") as f:
                    if logged in f.read():
                        return
                time.sleep(0.02)
            self.fail("no log line with " + logged)

        def read_card():
            return json.loads(q48("--port", emulator.device, "--json", "read-card", "--no-photo").stdout)

        command("remove", "card removed")
        self.assertEqual(read_card()["result"], -6)
        command("frobnicate", 'unknown command "frobnicate"; the commands are: remove, place [PROFILE]')
        command("place " + bad, "place: " + bad + ':1:15: "card_type" is 300, outside 0 to 255')
        self.assertEqual(read_card()["result"], -6)  # a bad profile changes nothing
        command("place", "card placed again")
        self.assertEqual(read_card()["fields"]["id_number"], SAMPLE["id_number"])
        command("  place " + other + " \r", "card placed: a new card")
        with open(log, encoding="utf-8") as f:
            self.assertIn("place: " + other + ':1:22: "idCard" is the old name of "id_card"', f.read())
        self.assertEqual(read_card()["fields"]["id_number"], "110101199003077777")
        self.assertEqual(json.loads(q48("--port", emulator.device, "--json", "iccid").stdout)["fields"]["iccid"],
                         "8986001")
        # The end of the commands is no reason to stop serving.
        emulator.process.stdin.close()
        time.sleep(0.2)
        self.assertEqual(q48("--port", emulator.device, "card-type").returncode, 0)
        with open(log, encoding="utf-8") as f:
            written = f.read()
        for field in ("110101199003077777", SAMPLE["id_number"], "8986001", SAMPLE["address"]):
            self.assertNotIn(field, written)

    def test_com_serves_a_serial_device(self):
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        tty.setraw(slave)
        name = os.ttyname(slave)
        log = os.path.join(self.tmp.name, "com.log")
        emulator = self.emulator("--com", name, "--log", log)
        self.assertEqual(emulator.device, name)
        os.write(master, CARD_TYPE_REQUEST)
        self.assertEqual(read_from(master, len(CARD_TYPE_ANSWER)), CARD_TYPE_ANSWER)


class HostProgramsAgainstTheEmulatedReader(unittest.TestCase):
    def test_python_example_through_the_exports(self):
        run = subprocess.run(
            [os.path.join(ROOT, "scripts/with-emulated-reader.sh"), "--",
             "python3", os.path.join(ROOT, "examples/read_card.py"), os.path.join(BIN, "libQ48Reader.so"),
             "--write", "13800138000", "hello"],
            capture_output=True, timeout=120, env=dict(os.environ, Q48_BIN=BIN))
        if run.returncode != 0 and b"unshare" in run.stderr:
            self.skipTest("no mount namespaces here: " + run.stderr.decode(errors="replace"))
        self.assertEqual(run.returncode, 0, run.stderr)
        out = json.loads(run.stdout.decode("utf-8"))
        self.assertEqual((out["list"], out["read_card"], out["iccid_result"], out["card_type"], out["write"]),
                         (1, 0, 0, 1, 0))
        self.assertEqual(out["card"]["id_number"], SAMPLE["id_number"])
        self.assertTrue(out["card"]["photo_is_jpeg"])

    def test_q48_list_finds_the_reader_by_its_usb_identity(self):
        run = subprocess.run([os.path.join(ROOT, "scripts/with-emulated-reader.sh"), "--",
                              os.path.join(BIN, "q48"), "--json", "list"],
                             capture_output=True, timeout=60, env=dict(os.environ, Q48_BIN=BIN))
        if run.returncode != 0 and b"unshare" in run.stderr:
            self.skipTest("no mount namespaces here")
        out = json.loads(run.stdout.decode("utf-8"))
        self.assertEqual((out["result"], out["fields"]["port"]), (1, "0"))


if __name__ == "__main__":
    unittest.main()
