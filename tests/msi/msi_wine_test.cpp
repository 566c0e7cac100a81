// The x64 service MSI under wine64, in a prefix of its own booted once for
// the whole sequence (about ten seconds). Its server is kept up throughout
// (wineserver -p): were it to end between two commands, the next one would
// boot the prefix again and with it the auto-start service. The prefix's
// COM9 links to the pty of an emulator in this process; the test talks to
// the service over HTTP from the Linux side.
//
// What Wine cannot show is left to the static checks (check_msi.py) and said
// where it matters: the service account (Wine runs every service as the
// prefix's user), restart on failure (Wine keeps no failure actions and
// restarts nothing), the service's SID type and preshutdown timeout (set by
// MsiConfigureServices), access lists on folders (Wine keeps none), and the feature states that a major upgrade carries
// over (Wine's installer has no MigrateFeatureStates: the test names the
// features again; nor does it add a parent feature for its child), and an
// upgrade over a running service (it does not wait for the older version's
// service to stop before removing it: the test stops it first).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "emulator.h"
#include "loopback_http.h"
#include "wine_harness.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using q48::wine::RunOptions;
using q48::wine::RunResult;

const std::string kAllowed = "https://counter.example";
const std::string kSettingsKey = "HKLM\\SOFTWARE\\Q48Reader\\q48-service";
const std::string kVendorKey = "HKLM\\SOFTWARE\\Q48Reader";

class MsiUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!wine_.Unavailable().empty()) GTEST_SKIP() << wine_.Unavailable();
    for (const char* file : {Q48_MSI_PACKAGE, Q48_MSI_MAKER, Q48_REFUSING_DECODER})
      if (!fs::exists(file)) GTEST_SKIP() << file << " is missing: build the windows-x64 preset first";
    // A server left by an interrupted run would outlive its prefix's removal.
    ASSERT_EQ(wine_.StopServer(), "");
    std::error_code ignored;
    fs::remove_all(wine_.prefix(), ignored);
    fs::create_directories(wine_.prefix());
    // Up for the whole test, its output away from our pipes.
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
    env.push_back("WINEPREFIX=" + wine_.prefix());
    ASSERT_EQ(q48::wine::RunDetached({wine_.wineserver(), "-p"}, env, std::chrono::seconds(30)), 0);
    // One boot. ("wineboot --init" on a new prefix would boot it twice and
    // leave two service managers, each knowing half of the services.)
    RunOptions boot;
    boot.program = "wineboot";
    boot.time_limit = std::chrono::minutes(3);
    const RunResult booted = wine_.Run(boot);
    ASSERT_FALSE(booted.timed_out);
    ASSERT_EQ(booted.exit_status, 0) << booted.stderr_bytes;
    ASSERT_TRUE(emulator_.OpenPty());
    emulator_.Start();
    fs::create_symlink(emulator_.SlavePath(), wine_.prefix() + "/dosdevices/com9");
    port_ = q48test::FreeLoopbackPort();
  }

  void TearDown() override {
    if (!wine_.Unavailable().empty()) return;
    EXPECT_EQ(wine_.StopServer(), "");
  }

  // The installer's complaints go to standard error; msiexec's are shown when it fails.
  RunResult Wine(std::string program, std::vector<std::string> args) const {
    RunOptions run;
    run.program = std::move(program);
    run.args = std::move(args);
    run.time_limit = std::chrono::minutes(2);
    run.environment = {{"WINEDEBUG", "err+msi,warn+msi"}};
    return wine_.Run(run);
  }

  int Msiexec(std::vector<std::string> args) const {
    const RunResult run = Wine("msiexec", std::move(args));
    if (run.exit_status != 0) std::cout << "msiexec failed:\n" << run.stderr_bytes;
    return run.timed_out ? -1 : run.exit_status;
  }

  // "RUNNING", "STOPPED", ...; "" when there is no such service.
  std::string State() const {
    std::smatch state;
    const std::string query = Wine("sc", {"query", "q48-service"}).stdout_bytes;
    return std::regex_search(query, state, std::regex(R"(STATE\s*:\s*\d+\s+(\w+))")) ? state[1].str() : "";
  }

  bool WaitForState(const std::string& state, std::chrono::seconds limit) const {
    for (const auto end = Clock::now() + limit; Clock::now() < end;) {
      if (State() == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return State() == state;
  }

  std::string Request(const std::string& method, const std::string& path, const std::string& origin = "") const {
    std::string request = method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n";
    if (!origin.empty()) request += "Origin: " + origin + "\r\n";
    if (method == "POST") request += "Content-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
    return q48test::HttpExchange(port_, request + (method == "POST" ? "" : "\r\n"));
  }

  bool Serving() const {
    for (const auto end = Clock::now() + std::chrono::seconds(30); Clock::now() < end;) {
      if (q48test::HttpStatus(Request("GET", "/v1/reader")) == 200) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }

  // The read-card object of an allowed origin's request, with its CORS header checked.
  nlohmann::json ReadCard() const {
    const std::string answer = Request("POST", "/v1/card", kAllowed);
    EXPECT_EQ(q48test::HttpStatus(answer), 200) << answer;
    EXPECT_EQ(q48test::HttpHeader(answer, "Access-Control-Allow-Origin"), kAllowed);
    return nlohmann::json::parse(q48test::HttpBody(answer), nullptr, false);
  }

  std::string Log() const {
    std::ifstream in(wine_.DriveC() + "/ProgramData/Q48Reader/logs/q48-service.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // What Programs and Features lists (a new prefix lists nothing else):
  // "VERSION PUBLISHER" for the one entry of ours, "" for none.
  std::string ProgramsAndFeatures() const {
    const std::string all =
        Wine("reg", {"query", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "/s"}).stdout_bytes;
    const auto value = [&](const std::string& name) {
      const size_t at = all.find("    " + name + "    REG_SZ    ");
      return at == std::string::npos ? "" : all.substr(at + name.size() + 18, all.find_first_of("\r\n", at) - at - name.size() - 18);
    };
    if (all.find("DisplayName") != all.rfind("DisplayName") || value("DisplayName") != "Q48Reader Service") return "";
    return value("DisplayVersion") + " " + value("Publisher");
  }

  bool StartMenuLink() const {
    for (const auto& entry : fs::recursive_directory_iterator(wine_.DriveC(), fs::directory_options::skip_permission_denied))
      if (entry.path().filename() == "Q48 Reader Service.lnk") return true;
    return false;
  }

  // Nothing of ours is left: no file, no service, no registry key, no entry.
  void ExpectNothingLeft() const {
    EXPECT_EQ(State(), "");
    EXPECT_FALSE(fs::exists(wine_.DriveC() + "/Program Files/Q48Reader"));
    EXPECT_FALSE(fs::exists(wine_.DriveC() + "/ProgramData/Q48Reader"));
    EXPECT_NE(Wine("reg", {"query", kVendorKey}).exit_status, 0);
    EXPECT_EQ(ProgramsAndFeatures(), "");
    EXPECT_FALSE(StartMenuLink());
    EXPECT_EQ(Request("GET", "/v1/reader"), "");  // nobody listens
  }

  std::string Package() const { return q48::wine::ToWindowsPath(Q48_MSI_PACKAGE); }

  q48::wine::WineHarness wine_{Q48_MSI_PREFIX};
  q48emu::Emulator emulator_;
  int port_ = 0;
};

TEST_F(MsiUnderWine, InstallServeStopUpgradeUninstall) {
  const std::string listen = "LISTEN=127.0.0.1:" + std::to_string(port_);
  const std::string version = Q48_VERSION;

  // Installed with the administrator's properties, it runs at once.
  ASSERT_EQ(Msiexec({"/i", Package(), "/qn", "ALLOWORIGIN=" + kAllowed, "PORT=COM9", listen}), 0);
  ASSERT_TRUE(WaitForState("RUNNING", std::chrono::seconds(30)));
  ASSERT_TRUE(Serving());
  nlohmann::json card = ReadCard();
  EXPECT_EQ(card["result"], 0) << card;
  EXPECT_EQ(card["fields"]["name"], q48emu::SampleCard().idCard.name + std::string(12, ' '));
  EXPECT_EQ(card["fields"]["portrait"], "") << "a decoder was found though the stand-in is off by default";
  const size_t requests = emulator_.Requests().size();
  const std::string refused = Request("POST", "/v1/card", "https://evil.example");
  EXPECT_EQ(q48test::HttpStatus(refused), 403) << refused;
  EXPECT_EQ(emulator_.Requests().size(), requests);
  EXPECT_TRUE(StartMenuLink());
  EXPECT_EQ(ProgramsAndFeatures(), version + " Q48Reader");

  // Stopped while a card is being read (its answer comes in two pieces, 1.5 s
  // apart): the read is answered whole, then the service stops and the port
  // closes.
  q48emu::Behaviour slow;
  slow.splitAt = {100};
  slow.pauseMs = 1500;
  emulator_.PushBehaviour(slow);
  std::string slowAnswer;
  std::thread reader([&] { slowAnswer = Request("POST", "/v1/card", kAllowed); });
  ASSERT_TRUE(emulator_.WaitForRequests(requests + 1, 10000));
  const auto stopAsked = Clock::now();
  EXPECT_EQ(Wine("sc", {"stop", "q48-service"}).exit_status, 0);
  const bool stopped = WaitForState("STOPPED", std::chrono::seconds(20));
  const auto stopTook = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopAsked);
  reader.join();
  ASSERT_TRUE(stopped);
  std::cout << "sc stop to STOPPED with a card read under way: " << stopTook.count() << " ms\n";
  EXPECT_EQ(q48test::HttpStatus(slowAnswer), 200) << slowAnswer;
  EXPECT_EQ(nlohmann::json::parse(q48test::HttpBody(slowAnswer), nullptr, false)["result"], 0) << slowAnswer;
  EXPECT_EQ(Request("GET", "/v1/reader"), "");  // nobody listens
  EXPECT_NE(Log().find("stopping on Stop"), std::string::npos) << Log();

  EXPECT_EQ(Wine("sc", {"start", "q48-service"}).exit_status, 0);
  ASSERT_TRUE(WaitForState("RUNNING", std::chrono::seconds(30)));
  ASSERT_TRUE(Serving());

  // A bad value in the registry (its name in another case: the registry's
  // names ignore case): a failed start that the service manager reports, and
  // the reason in the log.
  ASSERT_EQ(Wine("reg", {"add", kSettingsKey, "/v", "Watch-Interval", "/t", "REG_SZ", "/d", "5", "/f"}).exit_status, 0);
  EXPECT_EQ(Wine("sc", {"stop", "q48-service"}).exit_status, 0);
  ASSERT_TRUE(WaitForState("STOPPED", std::chrono::seconds(20)));
  Wine("sc", {"start", "q48-service"});
  ASSERT_TRUE(WaitForState("STOPPED", std::chrono::seconds(20)));
  const std::string query = Wine("sc", {"query", "q48-service"}).stdout_bytes;
  EXPECT_NE(query.find("WIN32_EXIT_CODE    : 1066"), std::string::npos) << query;  // a service-specific error
  EXPECT_NE(query.find("SERVICE_EXIT_CODE  : 1 "), std::string::npos) << query;
  EXPECT_NE(Log().find(kSettingsKey + ": watch-interval 5: give 50 to 600000 milliseconds"), std::string::npos) << Log();
  ASSERT_EQ(Wine("reg", {"delete", kSettingsKey, "/v", "Watch-Interval", "/f"}).exit_status, 0);

  ASSERT_EQ(Msiexec({"/x", Package(), "/qn"}), 0);
  ExpectNothingLeft();

  // A lower version of the same source, with the stand-in decoder, then this
  // version over it with no property: the settings stay.
  const std::string lower = wine_.prefix() + "/lower.msi";
  const std::string make = std::string(Q48_CMAKE) + " -DQ48_VERSION=0.9.0 -DQ48_OUT=" + lower + " -P " + Q48_MSI_MAKER;
  ASSERT_EQ(std::system(make.c_str()), 0) << make;
  ASSERT_EQ(Msiexec({"/i", q48::wine::ToWindowsPath(lower), "/qn", "ALLOWORIGIN=" + kAllowed, "PORT=COM9", listen,
                     "ADDLOCAL=Service,StandInDecoder"}),
            0);
  ASSERT_TRUE(WaitForState("RUNNING", std::chrono::seconds(30)));
  ASSERT_TRUE(Serving());
  EXPECT_EQ(ProgramsAndFeatures(), "0.9.0 Q48Reader");
  card = ReadCard();
  EXPECT_EQ(card["fields"]["portrait"].get<std::string>().rfind("data:image/jpeg;base64,/9j/", 0), 0u)
      << "no decoder: the stand-in was not used";
  EXPECT_NE(Log().find("using the stand-in"), std::string::npos) << Log();
  // The portrait went through a folder of the service's own, with the access
  // list it wrote (Wine keeps none: the list Windows enforces is the one
  // logged), and nothing of it stayed there or in C:\Palvix.
  const std::string sid = "S-1-5-80-2704839098-3794765952-2834920505-3344045825-859706414";  // sc showsid q48-service
  EXPECT_NE(Log().find("portraits converted in C:\\ProgramData\\Q48Reader\\portraits (access list "
                       "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + sid + ")"),
            std::string::npos)
      << Log();
  EXPECT_TRUE(fs::is_empty(wine_.DriveC() + "/ProgramData/Q48Reader/portraits"));
  EXPECT_FALSE(fs::exists(wine_.DriveC() + "/Palvix"));

  // Wine's installer does not wait for the older version's service to stop
  // before it removes its files and the service; Windows' does.
  EXPECT_EQ(Wine("sc", {"stop", "q48-service"}).exit_status, 0);
  ASSERT_TRUE(WaitForState("STOPPED", std::chrono::seconds(20)));
  ASSERT_EQ(Msiexec({"/i", Package(), "/qn", "ADDLOCAL=Service,StandInDecoder"}), 0);
  ASSERT_TRUE(WaitForState("RUNNING", std::chrono::seconds(30)));
  ASSERT_TRUE(Serving());  // LISTEN kept
  EXPECT_EQ(ProgramsAndFeatures(), version + " Q48Reader");
  card = ReadCard();  // ALLOWORIGIN kept
  EXPECT_EQ(card["result"], 0) << card;  // PORT kept

  // A real decoder where the system finds it: the stand-in stays out.
  const std::string system = wine_.DriveC() + "/windows/system32/WltRS.dll";
  fs::copy_file(Q48_REFUSING_DECODER, system, fs::copy_options::overwrite_existing);
  EXPECT_EQ(Wine("sc", {"stop", "q48-service"}).exit_status, 0);
  ASSERT_TRUE(WaitForState("STOPPED", std::chrono::seconds(20)));
  EXPECT_EQ(Wine("sc", {"start", "q48-service"}).exit_status, 0);
  ASSERT_TRUE(WaitForState("RUNNING", std::chrono::seconds(30)));
  ASSERT_TRUE(Serving());
  card = ReadCard();
  EXPECT_EQ(card["result"], 0) << card;
  EXPECT_EQ(card["fields"]["portrait"], "") << "the stand-in took the system's decoder's place";
  fs::remove(system);

  // Windows' StopServices waits for the service to stop before its files go;
  // Wine's does not, and a service still exiting keeps its program file.
  EXPECT_EQ(Wine("sc", {"stop", "q48-service"}).exit_status, 0);
  ASSERT_TRUE(WaitForState("STOPPED", std::chrono::seconds(20)));
  ASSERT_EQ(Msiexec({"/x", Package(), "/qn"}), 0);
  ExpectNothingLeft();
}

}  // namespace
