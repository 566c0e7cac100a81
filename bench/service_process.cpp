#include "service_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

extern char** environ;

namespace q48bench {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

bool StartService(const std::vector<std::string>& args, ServiceProcess* service, std::string* error) {
  int out[2];
  if (pipe(out) != 0) {
    *error = "pipe failed";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, out[1]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> all = {Q48_SERVICE_BIN, "--listen", "127.0.0.1:0"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int spawned = posix_spawn(&service->pid, Q48_SERVICE_BIN, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string line;
  char c;
  while (spawned == 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
  service->output = out[0];
  const size_t colon = line.rfind(':');
  service->port = colon == std::string::npos ? 0 : static_cast<unsigned short>(std::atoi(line.c_str() + colon + 1));
  if (spawned != 0 || service->port == 0) {
    *error = "the service did not start: \"" + line + "\"";
    if (spawned == 0) StopService(service);
    return false;
  }
  return true;
}

int ListenLoopback(unsigned short* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, SOMAXCONN) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

bool StartActivatedService(int listening, unsigned short port, const std::vector<std::string>& args,
                           ServiceProcess* service, std::string* error) {
  // Everything the child needs is made before fork: between fork and exec
  // only async-signal-safe calls (the benchmark has threads).
  std::vector<std::string> all = {Q48_SERVICE_BIN};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> variables = {"LISTEN_FDS=1", "LISTEN_PID=0000000000"};
  for (char** variable = environ; *variable != nullptr; ++variable)
    if (std::strncmp(*variable, "LISTEN_", 7) != 0) variables.emplace_back(*variable);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  char* pidDigits = envp[1] + std::strlen("LISTEN_PID=");
  const pid_t pid = fork();
  if (pid < 0) {
    *error = "fork failed";
    return false;
  }
  if (pid == 0) {
    char digits[16];
    int n = 0;
    for (pid_t self = getpid(); self > 0; self /= 10) digits[n++] = static_cast<char>('0' + self % 10);
    for (int i = 0; i < n; ++i) pidDigits[i] = digits[n - 1 - i];
    pidDigits[n] = '\0';
    const int null = open("/dev/null", O_RDWR);
    // dup2 onto itself would keep close-on-exec.
    const bool handed = listening == 3 ? fcntl(3, F_SETFD, 0) == 0 : dup2(listening, 3) == 3;
    if (!handed || null < 0 || dup2(null, 1) != 1 || dup2(null, 2) != 2) _exit(127);
    execve(Q48_SERVICE_BIN, argv.data(), envp.data());
    _exit(127);
  }
  service->pid = pid;
  service->port = port;
  service->output = -1;
  return true;
}

void StopService(ServiceProcess* service) {
  if (service->pid > 0) {
    kill(service->pid, SIGTERM);
    waitpid(service->pid, nullptr, 0);
    service->pid = 0;
  }
  if (service->output >= 0) close(service->output);
  service->output = -1;
}

Reply Ask(unsigned short port, const char* method, const char* target, int timeoutSeconds) {
  Reply reply;
  try {
    net::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    const timeval limit{timeoutSeconds, 0};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    http::request<http::string_body> request{http::string_to_verb(method), target, 11};
    request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
    request.keep_alive(false);
    if (request.method() == http::verb::post) {
      request.set(http::field::content_type, "application/json");
      request.body() = "{}";
    }
    request.prepare_payload();
    http::write(socket, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    reply.status = response.result_int();
    reply.body = std::move(response.body());
    if (const auto it = response.find(http::field::retry_after); it != response.end())
      reply.retryAfter = std::string(it->value());
  } catch (const std::exception&) {
    reply.status = 0;
  }
  return reply;
}

double ProcessCpuSeconds(pid_t pid) {
  const std::string text = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  // Fields 14 and 15 (utime, stime) count from after the command's ")".
  size_t at = text.rfind(')');
  if (at == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = at + 2; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += text[i];
    }
  }
  if (fields.size() < 13) return 0;
  return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ResidentKiB(pid_t pid) {
  const std::string text = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = text.find("\nVmRSS:");
  return at == std::string::npos ? -1 : std::atol(text.c_str() + at + 7);
}

int OpenDescriptors(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count;
}

}  // namespace q48bench
