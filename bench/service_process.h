// q48-service as a child process, for the service benchmarks: started on a
// free loopback port, asked over HTTP, and measured through /proc. Linux
// only. StartService and StopService are called from the benchmark's main
// thread; Ask and the /proc readers from any thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace q48bench {

struct ServiceProcess {
  pid_t pid = 0;
  unsigned short port = 0;
  int output = -1;  // the read end of its standard output, held so that a late line cannot kill it
};

// Runs q48-service with "--listen 127.0.0.1:0" and `args`, its standard
// error sent to /dev/null, and reads the port it printed. False with the
// reason in *error.
bool StartService(const std::vector<std::string>& args, ServiceProcess* service, std::string* error);
// Plays systemd holding q48-service.socket: a listening socket on
// 127.0.0.1 and a free port, owned by the caller (close it). -1 on failure.
int ListenLoopback(unsigned short* port);
// Plays systemd starting q48-service.service on a connection: runs
// q48-service with `args`, `listening` handed over as descriptor 3 with
// LISTEN_PID and LISTEN_FDS (systemd's socket activation), its standard
// output and error sent to /dev/null. Returns at once, not waiting for it to
// take the socket; service->port is `port`. False with the reason in *error.
bool StartActivatedService(int listening, unsigned short port, const std::vector<std::string>& args,
                           ServiceProcess* service, std::string* error);
// SIGTERM, then waits for the process to end.
void StopService(ServiceProcess* service);

struct Reply {
  int status = 0;          // 0: the connection failed or closed without an answer
  std::string body;
  std::string retryAfter;  // the Retry-After header, "" without one
};
// One request on its own connection ("{}" as the JSON body of a POST); waits
// at most `timeoutSeconds` for the answer.
Reply Ask(unsigned short port, const char* method, const char* target, int timeoutSeconds = 60);

// utime + stime of the process, in seconds.
double ProcessCpuSeconds(pid_t pid);
// Its resident set (VmRSS), in KiB; -1 when unknown.
long ResidentKiB(pid_t pid);
// How many descriptors it holds open; -1 when unknown.
int OpenDescriptors(pid_t pid);

}  // namespace q48bench
