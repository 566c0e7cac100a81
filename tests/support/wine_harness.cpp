#include "wine_harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace q48::wine {
namespace {

using Clock = std::chrono::steady_clock;

// After the program itself has ended, how long to wait for the ends of its
// output pipes (something it started may still hold them).
constexpr auto kDrainGrace = std::chrono::seconds(2);
constexpr auto kPrefixBootLimit = std::chrono::minutes(3);
constexpr char kBootedMarker[] = "/.q48-booted";

bool IsExecutable(const std::string& path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return "";
  std::string all(path);
  for (std::size_t begin = 0; begin <= all.size();) {
    std::size_t end = all.find(':', begin);
    if (end == std::string::npos) end = all.size();
    const std::string candidate = all.substr(begin, end - begin) + "/" + name;
    if (end > begin && IsExecutable(candidate)) return candidate;
    begin = end + 1;
  }
  return "";
}

std::string FirstExecutable(const std::vector<std::string>& candidates, const std::string& name) {
  for (const std::string& candidate : candidates) {
    if (IsExecutable(candidate)) return candidate;
  }
  return FindOnPath(name);
}

bool MakeDirectories(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

int RunDetached(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                std::chrono::milliseconds limit, const RunAs* user) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    close_range(3, ~0U, 0);
    if (user != nullptr && (setgroups(0, nullptr) != 0 || setgid(user->gid) != 0 || setuid(user->uid) != 0))
      _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  const auto deadline = Clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---------------------------------------------------------------------------
// WineProcess

WineProcess::WineProcess(WineProcess&& other) noexcept { *this = std::move(other); }

WineProcess& WineProcess::operator=(WineProcess&& other) noexcept {
  if (this != &other) {
    Kill();
    Release();
    pid_ = other.pid_;
    stdin_fd_ = other.stdin_fd_;
    stdout_fd_ = other.stdout_fd_;
    stderr_fd_ = other.stderr_fd_;
    close_stdin_ = other.close_stdin_;
    pending_stdin_ = std::move(other.pending_stdin_);
    deadline_ = other.deadline_;
    result_ = std::move(other.result_);
    other.pid_ = -1;
    other.stdin_fd_ = other.stdout_fd_ = other.stderr_fd_ = -1;
  }
  return *this;
}

WineProcess::~WineProcess() {
  Kill();
  Release();
}

void WineProcess::Kill() {
  if (pid_ <= 0) return;
  // The program's group holds everything it started (Wine starts a child
  // process as a Unix child).
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

void WineProcess::Release() {
  CloseFd(stdin_fd_);
  CloseFd(stdout_fd_);
  CloseFd(stderr_fd_);
}

bool WineProcess::WriteStdin(const std::string& bytes) {
  if (stdin_fd_ < 0) return false;
  pending_stdin_ += bytes;
  while (!pending_stdin_.empty()) {
    if (Clock::now() >= deadline_) return false;
    pollfd fd{stdin_fd_, POLLOUT, 0};
    poll(&fd, 1, 20);
    const ssize_t written = write(stdin_fd_, pending_stdin_.data(), pending_stdin_.size());
    if (written > 0) pending_stdin_.erase(0, static_cast<std::size_t>(written));
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      pending_stdin_.clear();
      return false;
    }
  }
  return true;
}

void WineProcess::CloseStdin() {
  close_stdin_ = true;
  if (pending_stdin_.empty()) CloseFd(stdin_fd_);
}

RunResult WineProcess::Wait() {
  RunResult result = std::move(result_);
  result_ = RunResult();
  if (pid_ <= 0) return result;

  bool exited = false;
  Clock::time_point drain_deadline{};
  char buffer[4096];
  for (;;) {
    if (!exited) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exited = true;
        result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        drain_deadline = Clock::now() + kDrainGrace;
        CloseFd(stdin_fd_);
      }
    }
    const auto now = Clock::now();
    if (!exited && now >= deadline_) {
      result.timed_out = true;
      Kill();
      exited = true;
      drain_deadline = now;
    }
    // Both pipes can end before the program is seen to exit; its status
    // is still to be collected (poll below then only paces the loop).
    if (exited && stdout_fd_ < 0 && stderr_fd_ < 0) break;
    if (exited && now >= drain_deadline) break;

    pollfd fds[3];
    nfds_t count = 0;
    if (stdout_fd_ >= 0) fds[count++] = {stdout_fd_, POLLIN, 0};
    if (stderr_fd_ >= 0) fds[count++] = {stderr_fd_, POLLIN, 0};
    if (stdin_fd_ >= 0 && !pending_stdin_.empty()) fds[count++] = {stdin_fd_, POLLOUT, 0};
    // Short steps: the end of the program is seen by waitpid, not by poll.
    poll(fds, count, 20);
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == stdin_fd_) {
        const ssize_t written = write(stdin_fd_, pending_stdin_.data(), pending_stdin_.size());
        if (written > 0) pending_stdin_.erase(0, static_cast<std::size_t>(written));
        if (written < 0 && errno != EAGAIN && errno != EINTR) pending_stdin_.clear();
        if (pending_stdin_.empty() && close_stdin_) CloseFd(stdin_fd_);
        continue;
      }
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        (fds[i].fd == stdout_fd_ ? result.stdout_bytes : result.stderr_bytes)
            .append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        CloseFd(fds[i].fd == stdout_fd_ ? stdout_fd_ : stderr_fd_);
      }
    }
  }
  Release();
  return result;
}

// ---------------------------------------------------------------------------
// WineHarness

std::string WineHarness::DefaultPrefix() { return Q48_WINE_DEFAULT_PREFIX; }

WineHarness::WineHarness(std::string prefix) : prefix_(std::move(prefix)) {
  std::vector<std::string> wine_candidates;
  if (const char* chosen = std::getenv("Q48_WINE64")) wine_candidates.emplace_back(chosen);
  wine_candidates.emplace_back("/usr/lib/wine/wine64");
  wine64_ = FirstExecutable(wine_candidates, "wine64");
  wineserver_ = FirstExecutable({"/usr/lib/wine/wineserver64"}, "wineserver");
}

std::string WineHarness::Unavailable() const {
  if (wine64_.empty()) return "wine64 is not installed (looked in $Q48_WINE64, /usr/lib/wine, PATH)";
  if (wineserver_.empty()) return "wineserver is not installed (looked in /usr/lib/wine, PATH)";
  return "";
}

std::vector<std::string> WineHarness::Environment(const RunOptions& options) const {
  std::vector<std::pair<std::string, std::string>> set = {
      {"WINEPREFIX", prefix_},
      {"WINEDEBUG", "-all"},
      {"WINEDLLOVERRIDES", "mscoree,mshtml="},
      {"LANG", "zh_CN.UTF-8"},
      {"LC_ALL", "zh_CN.UTF-8"},
  };
  set.insert(set.end(), options.environment.begin(), options.environment.end());
  const std::vector<std::string> removed = {"DISPLAY", "WAYLAND_DISPLAY"};

  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& [key, value] : set) replaced = replaced || key == name;
    for (const std::string& key : removed) replaced = replaced || key == name;
    if (!replaced) env.push_back(text);
  }
  // Later entries of set win over earlier ones with the same name.
  for (std::size_t i = 0; i < set.size(); ++i) {
    bool overridden = false;
    for (std::size_t j = i + 1; j < set.size(); ++j) overridden = overridden || set[j].first == set[i].first;
    if (!overridden) env.push_back(set[i].first + "=" + set[i].second);
  }
  return env;
}

void WineHarness::StartServer() const {
  if (wineserver_.empty() || !Exists(prefix_)) return;
  // The server daemonises and its first process returns once it listens; a
  // second one for a prefix that has a server exits at once. -p keeps it for
  // a few seconds without clients, so the next program finds it.
  RunDetached({wineserver_, "-p3"}, Environment(RunOptions()), std::chrono::seconds(30));
}

WineProcess WineHarness::Start(const RunOptions& options) const {
  WineProcess process;
  process.result_.started = false;
  if (!Unavailable().empty()) {
    process.result_.error = Unavailable();
    return process;
  }
  StartServer();

  std::vector<std::string> argv = {wine64_, options.program};
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const std::vector<std::string> env = Environment(options);
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    process.result_.error = Errno("pipe");
    return process;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    process.result_.error = Errno("pipe");
    close(in[0]);
    close(in[1]);
    return process;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    process.result_.error = Errno("pipe");
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    return process;
  }

  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    close_range(3, ~0U, 0);
    if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    process.result_.error = Errno("fork");
    for (int fd : {in[1], out[0], err[0]}) close(fd);
    return process;
  }
  // Also from here, so that killing the group cannot miss a child started
  // before the program's own setpgid.
  setpgid(pid, pid);

  for (int fd : {in[1], out[0], err[0]}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  // A program that ends without reading its input must not kill us.
  signal(SIGPIPE, SIG_IGN);

  process.pid_ = pid;
  process.stdin_fd_ = in[1];
  process.stdout_fd_ = out[0];
  process.stderr_fd_ = err[0];
  process.pending_stdin_ = options.stdin_bytes;
  process.close_stdin_ = options.close_stdin;
  process.deadline_ = Clock::now() + options.time_limit;
  process.result_.started = true;
  if (process.pending_stdin_.empty() && process.close_stdin_) CloseFd(process.stdin_fd_);
  return process;
}

RunResult WineHarness::Run(const RunOptions& options) const { return Start(options).Wait(); }

std::string WineHarness::EnsurePrefix() const {
  if (!Unavailable().empty()) return Unavailable();
  if (Exists(prefix_ + kBootedMarker)) {
    StartServer();
    return "";
  }
  if (!MakeDirectories(prefix_)) return Errno("cannot create " + prefix_);
  RunOptions boot;
  boot.program = "wineboot";
  boot.args = {"--init"};
  boot.time_limit = kPrefixBootLimit;
  const RunResult result = Run(boot);
  if (!result.started) return "wineboot did not start: " + result.error;
  if (result.timed_out) return "wineboot took longer than its limit";
  if (result.exit_status != 0) {
    return "wineboot failed with status " + std::to_string(result.exit_status) + ": " + result.stderr_bytes;
  }
  std::ofstream(prefix_ + kBootedMarker) << "booted\n";
  return "";
}

std::string WineHarness::StopServer() const {
  if (wineserver_.empty() || !Exists(prefix_)) return "";
  const int status = RunDetached({wineserver_, "-k"}, Environment(RunOptions()), std::chrono::seconds(30));
  // -k reports failure when no server was running, which is fine; a status
  // of -1 means it hung or could not be started.
  if (status < 0) return "wineserver -k did not finish";
  RunDetached({wineserver_, "-w"}, Environment(RunOptions()), std::chrono::seconds(30));
  return "";
}

std::string ToWindowsPath(const std::string& unix_path) {
  std::string path = "Z:" + unix_path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace q48::wine
