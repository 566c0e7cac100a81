// Runs Windows programs under wine64 for the tests.
//
// One Wine prefix serves a whole build tree (by default <build>/wineprefix):
// it is created on first use, which takes ten seconds or more, and reused
// after that. Tests that use it must not run at the same time (give them the
// CTest RESOURCE_LOCK "wineprefix"), and the last of them should stop the
// prefix's wineserver (StopServer).
//
// Every program runs with:
//   WINEPREFIX=<prefix>, WINEDEBUG=-all, WINEDLLOVERRIDES="mscoree,mshtml="
//     (quiet, no offers to install Mono or Gecko),
//   LANG=LC_ALL=zh_CN.UTF-8 (ANSI code page 936, GBK, as on the systems served),
//   DISPLAY and WAYLAND_DISPLAY removed (no windows),
// plus the caller's RunOptions::environment, which may override any of them.
//
// Usage:
//   q48::wine::WineHarness wine;
//   if (!wine.Unavailable().empty()) GTEST_SKIP() << wine.Unavailable();
//   ASSERT_EQ(wine.EnsurePrefix(), "");
//   q48::wine::RunOptions run;
//   run.program = "/path/to/program.exe";
//   run.working_directory = folder;
//   run.stdin_bytes = "\n";
//   q48::wine::RunResult result = wine.Run(run);
//
// Standard output of a Windows console program in text mode has CR LF line
// ends; WithCrLf() turns an expected text into what it prints.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace q48::wine {

struct RunOptions {
  // A Unix path of a Windows program, or the name of a program that Wine
  // provides ("regsvr32", "regedit", "cmd").
  std::string program;
  // Passed unchanged (Wine turns them into the Windows command line).
  std::vector<std::string> args;
  // Unix directory to start in; Wine makes it the current directory (Z:\...).
  // Empty: the caller's.
  std::string working_directory;
  // Variables added to the environment described above, or overriding it.
  std::vector<std::pair<std::string, std::string>> environment;
  // Bytes written to standard input.
  std::string stdin_bytes;
  // When false, standard input stays open after stdin_bytes until
  // WineProcess::CloseStdin (for programs that wait for its end).
  bool close_stdin = true;
  // Wall-clock limit from the start; the program and everything it started
  // are killed when it passes.
  std::chrono::milliseconds time_limit{std::chrono::seconds(60)};
  // Fields may be added here (for instance the user to run as: Wine refuses a
  // prefix that belongs to another user, so such a run needs its own prefix);
  // callers that set fields by name keep working.
};

struct RunResult {
  bool started = false;    // false: nothing ran; error says why
  bool timed_out = false;  // the time limit passed and the program was killed
  // wine64's exit status, which is the Windows program's exit code modulo
  // 256; -1 when it was ended by a signal.
  int exit_status = -1;
  std::string stdout_bytes;
  std::string stderr_bytes;
  std::string error;
};

// A program started by WineHarness::Start. Movable, not copyable; destroying
// one that still runs kills it (with everything it started) and reaps it.
class WineProcess {
 public:
  WineProcess() = default;
  WineProcess(WineProcess&& other) noexcept;
  WineProcess& operator=(WineProcess&& other) noexcept;
  WineProcess(const WineProcess&) = delete;
  WineProcess& operator=(const WineProcess&) = delete;
  ~WineProcess();

  // False when the program could not be started; Wait() then says why.
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Writes to standard input now, after whatever of stdin_bytes is still
  // unwritten; it must still be open (RunOptions::close_stdin false). Waits
  // while the pipe is full, up to the time limit. False when it cannot.
  bool WriteStdin(const std::string& bytes);
  // Ends standard input (after whatever of stdin_bytes is still unwritten).
  void CloseStdin();
  // Waits for the program to end, collecting its output, until the time limit
  // of its RunOptions; then kills it. Call once.
  RunResult Wait();

 private:
  friend class WineHarness;
  void Kill();
  void Release();

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  bool close_stdin_ = true;
  std::string pending_stdin_;
  std::chrono::steady_clock::time_point deadline_{};
  RunResult result_;
};

class WineHarness {
 public:
  // The prefix of this build tree.
  static std::string DefaultPrefix();

  explicit WineHarness(std::string prefix = DefaultPrefix());

  // Empty when Windows programs can be run; otherwise why not, for a skip
  // message. (wine64 is looked for as $Q48_WINE64, /usr/lib/wine/wine64 and
  // wine64 on PATH; wineserver as /usr/lib/wine/wineserver64 and wineserver on
  // PATH.)
  std::string Unavailable() const;

  const std::string& prefix() const { return prefix_; }
  const std::string& wine64() const { return wine64_; }
  const std::string& wineserver() const { return wineserver_; }
  // The Unix directory that is C: inside the prefix.
  std::string DriveC() const { return prefix_ + "/drive_c"; }

  // Creates the prefix on first use and starts its wineserver. Returns an
  // empty string on success, else what went wrong.
  std::string EnsurePrefix() const;

  // Runs a program to its end (or its time limit).
  RunResult Run(const RunOptions& options) const;
  // Starts a program and returns at once.
  WineProcess Start(const RunOptions& options) const;

  // Stops the prefix's wineserver and every program still running in it.
  // Returns an empty string on success (also when nothing was running).
  std::string StopServer() const;

 private:
  // Starts the wineserver ourselves, detached from every pipe of ours: one
  // that a Wine program starts inherits that program's standard error and
  // would keep the pipe open after the program ends.
  void StartServer() const;
  std::vector<std::string> Environment(const RunOptions& options) const;

  std::string prefix_;
  std::string wine64_;
  std::string wineserver_;
};

// The Windows path of a Unix path through Wine's drive Z: ("/tmp/x" becomes
// "Z:\tmp\x").
std::string ToWindowsPath(const std::string& unix_path);

// text with every "\n" turned into "\r\n".
std::string WithCrLf(const std::string& text);

// Runs a helper (the wineserver, a prefix's boot) with every standard stream
// on /dev/null, so that nothing it leaves running holds a caller's pipes, and
// waits for it up to `limit`. With `user` (the caller being root) it runs as
// that user. Returns its exit status, or -1 (killed at the limit, or a
// signal).
struct RunAs {
  uid_t uid;
  gid_t gid;
};
int RunDetached(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                std::chrono::milliseconds limit, const RunAs* user = nullptr);

}  // namespace q48::wine
