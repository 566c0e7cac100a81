// q48-service's link to the Windows Service Control Manager: a service of
// the manager when it starts the program, a console program otherwise.
#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "serial/line_settings_win32.h"
#include "service_platform.h"
#include "service_win32.h"
#include "tool_platform.h"

namespace q48service {

const bool kConfiguresService = true;

namespace {

using Clock = std::chrono::steady_clock;

// Start: settings read, address bound; well under the manager's 30 s.
constexpr DWORD kStartWaitHintMs = 10000;
// Stop: the checkpoint advances each second while the service stops, so
// that the manager waits for a card operation to end within its own bound;
// past that bound it advances no more, and the manager's hang detection
// (a checkpoint unchanged for longer than the wait hint) takes over.
constexpr DWORD kStopWaitHintMs = 3000;
constexpr auto kStopCheckpointStep = std::chrono::seconds(1);

std::string Text(DWORD error) { return q48tool::SystemTextToUtf8(q48::SystemErrorText(error)); }

}  // namespace

// The manager's callbacks reach the state here; ServiceMain gets no context
// from the dispatcher, so the one link that runs is found through `running`.
struct ServiceManagerLink::State : public ServiceManager {
  static State* running;

  std::mutex mutex;
  std::condition_variable stopped;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  const std::function<int(ServiceManager&)>* service = nullptr;
  std::function<void(const std::string&)> stop;
  std::thread ticker;  // reports progress while the service stops
  Clock::time_point stopBegan;
  int exitStatus = 0;

  void ReportLocked(DWORD state, DWORD waitHint = 0, bool advance = true) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    // PRESHUTDOWN rather than SHUTDOWN: the manager then waits for the
    // preshutdown timeout the installer sets (long enough for a SIM write)
    // instead of the system's few seconds for SHUTDOWN.
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN : 0;
    status.dwWaitHint = waitHint;
    if (state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING) {
      status.dwCheckPoint = 0;
    } else if (advance) {
      ++status.dwCheckPoint;
    }
    if (handle != nullptr) SetServiceStatus(handle, &status);
  }

  // Reports progress while the service stops, until it has stopped; past
  // the bound, without advancing.
  void TickWhileStopping() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopped.wait_for(lock, kStopCheckpointStep, [this] { return status.dwCurrentState == SERVICE_STOPPED; }))
      ReportLocked(SERVICE_STOP_PENDING, kStopWaitHintMs, Clock::now() - stopBegan < kLongestStop);
  }

  // From running to stopping, whoever asked: the manager no longer reaches
  // the service's stop, which may soon be gone.
  void BeginStoppingLocked() {
    stopBegan = Clock::now();
    ReportLocked(SERVICE_STOP_PENDING, kStopWaitHintMs);
    stop = nullptr;
    ticker = std::thread([this] { TickWhileStopping(); });
  }

  void Running(std::function<void(const std::string&)> stopService) override {
    std::lock_guard<std::mutex> lock(mutex);
    stop = std::move(stopService);
    ReportLocked(SERVICE_RUNNING);
  }

  void Stopping() override {
    std::lock_guard<std::mutex> lock(mutex);
    if (status.dwCurrentState == SERVICE_RUNNING) BeginStoppingLocked();
  }

  // On the dispatcher's (main) thread.
  static DWORD WINAPI Handler(DWORD control, DWORD, void*, void* context) {
    State& self = *static_cast<State*>(context);
    if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_PRESHUTDOWN) return ERROR_CALL_NOT_IMPLEMENTED;
    std::lock_guard<std::mutex> lock(self.mutex);
    if (self.status.dwCurrentState != SERVICE_RUNNING || !self.stop) return NO_ERROR;  // already stopping
    const std::function<void(const std::string&)> stopService = self.stop;
    self.BeginStoppingLocked();
    stopService(control == SERVICE_CONTROL_STOP ? "Stop" : "Shutdown");  // only posts to the service's thread
    return NO_ERROR;
  }

  // On a thread of the dispatcher's.
  static void WINAPI ServiceMain(DWORD, LPSTR*) {
    State& self = *running;
    {
      std::lock_guard<std::mutex> lock(self.mutex);
      self.handle = RegisterServiceCtrlHandlerExA(kServiceName, Handler, &self);
      if (self.handle == nullptr) return;
      self.ReportLocked(SERVICE_START_PENDING, kStartWaitHintMs);
    }
    const int result = (*self.service)(self);
    std::thread ticker;
    {
      std::lock_guard<std::mutex> lock(self.mutex);
      self.exitStatus = result;
      // A non-zero status is a failed start or run that the manager reports
      // ("service-specific error N") and may answer with its failure actions.
      self.status.dwWin32ExitCode = result == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
      self.status.dwServiceSpecificExitCode = static_cast<DWORD>(result);
      self.ReportLocked(SERVICE_STOPPED);
      ticker = std::move(self.ticker);
    }
    self.stopped.notify_all();
    if (ticker.joinable()) ticker.join();
  }
};

ServiceManagerLink::State* ServiceManagerLink::State::running = nullptr;

ServiceManagerLink::ServiceManagerLink() : state_(std::make_unique<State>()) {}
ServiceManagerLink::~ServiceManagerLink() = default;

bool ServiceManagerLink::Run(const std::function<int(ServiceManager&)>& service, int* status) {
  state_->service = &service;
  State::running = state_.get();
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), State::ServiceMain}, {nullptr, nullptr}};
  // Fails at once, with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, when the
  // program was started from a console rather than by the manager.
  const bool ran = StartServiceCtrlDispatcherA(table) != FALSE;
  State::running = nullptr;
  if (!ran) return false;
  std::lock_guard<std::mutex> lock(state_->mutex);
  *status = state_->exitStatus;
  return true;
}

bool ConfigureService(std::string* report) {
  // SC_MANAGER_CONNECT is all OpenService needs of the manager's handle.
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    *report = "cannot open the service manager: " + Text(GetLastError());
    return false;
  }
  // ChangeServiceConfig2 needs SERVICE_CHANGE_CONFIG, and with
  // SC_ACTION_RESTART among the failure actions SERVICE_START as well. The
  // service's default list grants both to the Administrators and SYSTEM,
  // whom the installer runs this as.
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_CHANGE_CONFIG | SERVICE_START);
  if (service == nullptr) {
    *report = std::string("cannot open the service ") + kServiceName + ": " + Text(GetLastError());
    CloseServiceHandle(manager);
    return false;
  }
  // Restarted 5 s after a first failure, 30 s after a second and a minute
  // after each further one; the count starts again after a day without. The
  // installer's MsiServiceConfigFailureActions rows say the same.
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSA failure{};
  failure.dwResetPeriod = 24 * 60 * 60;
  failure.cActions = sizeof actions / sizeof actions[0];
  failure.lpsaActions = actions;
  bool ok = ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) != FALSE;
  if (!ok) {
    *report = "cannot set the restart on failure: " + Text(GetLastError());
  } else {
    *report = "restart on failure set: after 5 s, 30 s, then every 60 s; counted afresh after a day";
    // Also when it stops with an error rather than crashing: a bad setting
    // that Group Policy corrects later, an address another program held.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag))
      *report += "; only after a crash, not after a failed start (" + Text(GetLastError()) + ")";
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ok;
}

}  // namespace q48service
