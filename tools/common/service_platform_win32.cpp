// q48-service on Windows: a service of the Service Control Manager when it
// starts the program, a console program otherwise; the administrator's
// settings in the registry; the log in %ProgramData%.
#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tool_platform.h"
#include "serial/line_settings_win32.h"
#include "service_platform.h"

namespace q48service {

#define Q48_SETTINGS_KEY "SOFTWARE\\Q48Reader\\q48-service"
const char kSystemSettingsName[] = "HKLM\\" Q48_SETTINGS_KEY;
const bool kConfiguresService = true;

namespace {

// As the installer registers it.
constexpr char kServiceName[] = "q48-service";
// Start: settings read, address bound; well under the manager's 30 s.
constexpr DWORD kStartWaitHintMs = 10000;
// Stop: a running card operation is let finish within its own timeout (a
// SIM write's step, 15 s). The checkpoint advances every second meanwhile,
// so the manager keeps waiting as long as the service is still stopping.
constexpr DWORD kStopWaitHintMs = 3000;
constexpr auto kStopCheckpointStep = std::chrono::seconds(1);

std::string Text(DWORD error) { return q48tool::SystemTextToUtf8(q48::SystemErrorText(error)); }

std::string Utf8(const wchar_t* text, size_t length) {
  if (length == 0) return "";
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &out[0], n, nullptr, nullptr);
  return out;
}

// Origins in one REG_SZ, as an installer property gives them: separated by
// spaces, commas or semicolons (an origin holds none of them).
std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  std::string item;
  for (const char c : text + " ") {
    if (c == ' ' || c == '\t' || c == ',' || c == ';') {
      if (!item.empty()) out.push_back(item);
      item.clear();
    } else {
      item += c;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Under the Service Control Manager. Its dispatcher calls ServiceMain on a
// thread of its own and Handler on the main thread; both reach the state
// here under g_mutex.

std::mutex g_mutex;
std::condition_variable g_stopped;
SERVICE_STATUS_HANDLE g_handle = nullptr;
SERVICE_STATUS g_status{};
const std::function<int(ServiceManager&)>* g_service = nullptr;
std::function<void(const std::string&)> g_stop;
std::thread g_ticker;  // reports progress while the service stops
int g_exitStatus = 0;

void ReportLocked(DWORD state, DWORD waitHint = 0) {
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  g_status.dwWaitHint = waitHint;
  g_status.dwCheckPoint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? g_status.dwCheckPoint + 1 : 0;
  if (g_handle != nullptr) SetServiceStatus(g_handle, &g_status);
}

// Reports progress while the service stops, until it has stopped.
void TickWhileStopping() {
  std::unique_lock<std::mutex> lock(g_mutex);
  while (!g_stopped.wait_for(lock, kStopCheckpointStep, [] { return g_status.dwCurrentState == SERVICE_STOPPED; }))
    ReportLocked(SERVICE_STOP_PENDING, kStopWaitHintMs);
}

// From running to stopping, whoever asked: the manager no longer reaches the
// service's stop, which may soon be gone.
void BeginStoppingLocked() {
  ReportLocked(SERVICE_STOP_PENDING, kStopWaitHintMs);
  g_stop = nullptr;
  g_ticker = std::thread(TickWhileStopping);
}

class ManagerLink : public ServiceManager {
 public:
  void Running(std::function<void(const std::string&)> stop) override {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_stop = std::move(stop);
    ReportLocked(SERVICE_RUNNING);
  }
  void Stopping() override {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_status.dwCurrentState == SERVICE_RUNNING) BeginStoppingLocked();
  }
};

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return ERROR_CALL_NOT_IMPLEMENTED;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_status.dwCurrentState != SERVICE_RUNNING || !g_stop) return NO_ERROR;  // already stopping
  const std::function<void(const std::string&)> stop = g_stop;
  BeginStoppingLocked();
  stop(control == SERVICE_CONTROL_STOP ? "Stop" : "Shutdown");  // only posts to the service's thread
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handle = RegisterServiceCtrlHandlerExA(kServiceName, Handler, nullptr);
    if (g_handle == nullptr) return;
    ReportLocked(SERVICE_START_PENDING, kStartWaitHintMs);
  }
  ManagerLink link;
  const int status = (*g_service)(link);
  std::thread ticker;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_exitStatus = status;
    // A non-zero status is a failed start or run that the manager reports
    // ("service-specific error N") and may answer with its failure actions.
    g_status.dwWin32ExitCode = status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    g_status.dwServiceSpecificExitCode = static_cast<DWORD>(status);
    ReportLocked(SERVICE_STOPPED);
    ticker = std::move(g_ticker);
  }
  g_stopped.notify_all();
  if (ticker.joinable()) ticker.join();
}

}  // namespace

void PrepareListeningSocket(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
  const BOOL on = TRUE;
  if (setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on) != 0)
    ec.assign(WSAGetLastError(), boost::system::system_category());
}

// The Service Control Manager starts services with no sockets.
HandedSocket AdoptHandedSocket(boost::asio::ip::tcp::acceptor&, std::string*) { return HandedSocket::None; }

bool ReadSystemSettings(SettingsSource* source, std::string* error) {
  // The view of the program's own bitness: a 32-bit service on 64-bit
  // Windows reads (and the 32-bit installer writes) the key under
  // SOFTWARE\WOW6432Node, as every 32-bit program's.
  HKEY key = nullptr;
  const LSTATUS opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, Q48_SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key);
  if (opened == ERROR_FILE_NOT_FOUND) return true;  // none: the defaults
  const auto fail = [&](const std::string& why) {
    *error = std::string(kSystemSettingsName) + ": " + why;
    if (key != nullptr) RegCloseKey(key);
    return false;
  };
  if (opened != ERROR_SUCCESS) return fail(Text(static_cast<DWORD>(opened)));
  SettingsSource read;
  read.name = kSystemSettingsName;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameLength = 256, type = 0, bytes = 0;
    LSTATUS rc = RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &bytes);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return fail(Text(static_cast<DWORD>(rc)));
    std::vector<BYTE> data(bytes + 2 * sizeof(wchar_t), 0);  // room for missing terminators
    nameLength = 256;
    rc = RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &bytes);
    if (rc != ERROR_SUCCESS) return fail(Text(static_cast<DWORD>(rc)));
    if (nameLength == 0) continue;  // the key's unnamed default value is no setting
    const std::string valueName = Utf8(name, nameLength);
    const SettingKey* setting = FindSettingKey(valueName);
    if (setting == nullptr) return fail("unknown value \"" + valueName + "\"");
    std::vector<std::string>& texts = read.values[setting->name];
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(data.data());
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      const std::string text = Utf8(wide, wcslen(wide));
      if (setting->form == SettingForm::List) {
        texts = SplitList(text);
      } else {
        texts.push_back(text);
      }
    } else if (type == REG_MULTI_SZ) {
      for (const wchar_t* item = wide; *item != L'\0'; item += wcslen(item) + 1) texts.push_back(Utf8(item, wcslen(item)));
    } else if (type == REG_DWORD && setting->form == SettingForm::Number) {
      DWORD number = 0;
      memcpy(&number, data.data(), sizeof number);
      texts.push_back(std::to_string(number));
    } else {
      return fail(std::string("\"") + setting->name + "\" must be a string value (REG_SZ)" +
                  (setting->form == SettingForm::Number ? " or a DWORD" : ""));
    }
  }
  RegCloseKey(key);
  *source = std::move(read);
  return true;
}

bool RunUnderServiceManager(const std::function<int(ServiceManager&)>& service, int* status) {
  g_service = &service;
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), ServiceMain}, {nullptr, nullptr}};
  // Fails at once, with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, when the
  // program was started from a console rather than by the manager.
  if (!StartServiceCtrlDispatcherA(table)) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  *status = g_exitStatus;
  return true;
}

std::string ServiceLogPath(std::string* error) {
  char data[MAX_PATH] = "";
  const HRESULT found = SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data);
  if (FAILED(found)) {
    *error = "cannot find the ProgramData folder: " + Text(static_cast<DWORD>(found));
    return "";
  }
  std::string folder = data;
  for (const char* part : {"\\Q48Reader", "\\logs"}) {
    folder += part;
    if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      *error = "cannot create " + q48tool::SystemTextToUtf8(folder) + ": " + Text(GetLastError());
      return "";
    }
  }
  return folder + "\\q48-service.log";
}

bool ConfigureService(std::string* report) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    *report = "cannot open the service manager: " + Text(GetLastError());
    return false;
  }
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_CHANGE_CONFIG);
  if (service == nullptr) {
    *report = std::string("cannot open the service ") + kServiceName + ": " + Text(GetLastError());
    CloseServiceHandle(manager);
    return false;
  }
  // Restarted 5 s after a first failure, 30 s after a second and a minute
  // after each further one; the count starts again after a day without.
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

std::string UseStandInDecoderIfNoOther() {
  if (HMODULE found = LoadLibraryA("WltRS.dll")) {  // the search the library makes
    FreeLibrary(found);
    return "";
  }
  char program[MAX_PATH] = "";
  const DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return "";
  std::string path(program, length);
  path = path.substr(0, path.find_last_of('\\') + 1) + "stand-in\\WltRS.dll";
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return "";  // the feature is not installed
  // Kept loaded for the process's life: a bare-name load of an already
  // loaded module's name returns that module.
  if (LoadLibraryA(path.c_str()) == nullptr)
    return "cannot load the stand-in portrait decoder " + q48tool::SystemTextToUtf8(path) + ": " + Text(GetLastError());
  return "no portrait decoder installed: using the stand-in " + q48tool::SystemTextToUtf8(path) +
         " (it cannot decode real cards)";
}

}  // namespace q48service
