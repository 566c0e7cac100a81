// q48-service's process hardening on Windows: where DLLs are looked for, and
// the folders only the service may use (its log, its portraits), each with
// an explicit access control list.
#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <wincrypt.h>

#include <memory>
#include <string>
#include <vector>

#include "serial/line_settings_win32.h"
#include "service_platform.h"
#include "service_win32.h"
#include "tool_platform.h"

namespace q48service {

namespace {

std::string Text(DWORD error) { return q48tool::SystemTextToUtf8(q48::SystemErrorText(error)); }

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return L"";
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

// A path in the ANSI code page (the library's file calls take those).
std::wstring WidePath(const std::string& ansi) {
  if (ansi.empty()) return L"";
  const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  std::wstring out(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &out[0], n);
  return out;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return "";
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr, nullptr);
  return out;
}

// Wide text to the ANSI code page; "" when a character has no place in it.
std::string Ansi(const std::wstring& wide) {
  if (wide.empty()) return "";
  BOOL lost = FALSE;
  const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, &lost);
  if (n <= 0 || lost) return "";
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr, nullptr);
  return out;
}

// The folder of this program, with its final backslash.
std::wstring ProgramFolder() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return L"";
    if (n < path.size()) {
      std::wstring out(path.data(), n);
      return out.substr(0, out.find_last_of(L'\\') + 1);
    }
    path.resize(path.size() * 2);
  }
}

std::string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return "";
  const std::string out = Utf8(text);
  LocalFree(text);
  return out;
}

// The service's own SID, NT SERVICE\q48-service, as text. Looked up by name
// where the system knows it (LookupAccountName resolves service SIDs since
// Vista); else derived as Windows derives it: S-1-5-80 followed by the SHA-1
// of the upper-case service name in UTF-16LE, as five little-endian numbers
// (Wine knows no service SIDs).
std::string ServiceSidText() {
  const std::wstring account = std::wstring(L"NT SERVICE\\") + Wide(kServiceName);
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid;
  wchar_t domain[256];
  DWORD domainSize = 256;
  SID_NAME_USE use;
  if (LookupAccountNameW(nullptr, account.c_str(), sid, &sidSize, domain, &domainSize, &use))
    return SidText(sid);

  std::wstring upper = Wide(kServiceName);
  CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  BYTE digest[20];
  DWORD digestSize = sizeof digest;
  const bool hashed =
      CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
      CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash) &&
      CryptHashData(hash, reinterpret_cast<const BYTE*>(upper.data()), static_cast<DWORD>(upper.size() * 2), 0) &&
      CryptGetHashParam(hash, HP_HASHVAL, digest, &digestSize, 0) && digestSize == sizeof digest;
  if (hash != 0) CryptDestroyHash(hash);
  if (provider != 0) CryptReleaseContext(provider, 0);
  if (!hashed) return "";
  std::string out = "S-1-5-80";
  for (int i = 0; i < 5; ++i) {
    DWORD part = 0;
    memcpy(&part, digest + 4 * i, 4);  // little-endian, as x86 and x64 are
    out += "-" + std::to_string(part);
  }
  return out;
}

// The user this process runs as (a console run's account), as text.
std::string TokenUserSidText() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
  std::vector<BYTE> buffer(256);
  DWORD size = 0;
  std::string out;
  if (GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size) ||
      (GetLastError() == ERROR_INSUFFICIENT_BUFFER && (buffer.resize(size), true) &&
       GetTokenInformation(token, TokenUser, buffer.data(), size, &size)))
    out = SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
  CloseHandle(token);
  return out;
}

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalSecurityDescriptor = std::unique_ptr<void, LocalFreer>;

// Whether `owner` is one that may own the service's folders: SYSTEM, the
// Administrators, or the service's account.
bool TrustedOwner(PSID owner, const std::string& account) {
  if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
  const std::string text = SidText(owner);
  return !text.empty() && (text == account || text == TokenUserSidText());
}

std::string DaclText(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                            nullptr, &descriptor) != ERROR_SUCCESS)
    return "";
  LocalSecurityDescriptor owned(descriptor);
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                            &text, nullptr))
    return "";
  const std::string out = Utf8(text);
  LocalFree(text);
  return out;
}

}  // namespace

std::string AccountSidText(bool underManager) { return underManager ? ServiceSidText() : TokenUserSidText(); }

std::string PrivateFolderSddl(const std::string& account) {
  // Protected (no entry inherited from %ProgramData%, which lets Users read
  // and create), and inherited by what is made inside: full control for
  // SYSTEM, the Administrators and the service's account; Users nothing.
  return "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + account + ")";
}

bool MakePrivateFolder(const std::string& ansiPath, bool underManager, std::string* report, std::string* error) {
  const std::string account = AccountSidText(underManager);
  if (account.empty()) {
    *error = "cannot tell the service's account";
    return false;
  }
  const std::wstring wide = WidePath(ansiPath);
  const std::string path = Utf8(wide);  // for messages
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(PrivateFolderSddl(account)).c_str(),
                                                            SDDL_REVISION_1, &descriptor, nullptr)) {
    *error = "cannot make the access list of " + path + ": " + Text(GetLastError());
    return false;
  }
  LocalSecurityDescriptor ownedDescriptor(descriptor);
  // CreateDirectory needs FILE_ADD_SUBDIRECTORY on the parent; the new
  // folder gets this descriptor's list, and this process's user as owner.
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  if (!CreateDirectoryW(wide.c_str(), &attributes)) {
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      *error = "cannot create " + path + ": " + Text(GetLastError());
      return false;
    }
    // There already: taken only when it is a real folder (no link or
    // junction that leads elsewhere) whose owner is trusted; someone else's
    // folder could be read or swapped by them whatever list we gave it.
    const DWORD kind = GetFileAttributesW(wide.c_str());
    if (kind == INVALID_FILE_ATTRIBUTES || (kind & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (kind & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      *error = path + " is not a plain folder";
      return false;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR current = nullptr;
    // READ_CONTROL, which the owner and the Administrators have.
    const DWORD got = GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                            nullptr, nullptr, &current);
    if (got != ERROR_SUCCESS) {
      *error = "cannot read the owner of " + path + ": " + Text(got);
      return false;
    }
    LocalSecurityDescriptor ownedCurrent(current);
    if (!TrustedOwner(owner, account)) {
      *error = path + " belongs to " + SidText(owner) + ", not to this service or an administrator";
      return false;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    // WRITE_DAC: the owner has it implicitly; an administrator's folder is
    // taken only if its list gives us that right too.
    const DWORD set = SetNamedSecurityInfoW(const_cast<wchar_t*>(wide.c_str()), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, dacl, nullptr);
    if (set != ERROR_SUCCESS) {
      *error = "cannot set the access list of " + path + ": " + Text(set);
      return false;
    }
  }
  // What was written, and what the system reports when it differs (Wine
  // keeps no access lists on files).
  const std::string written = PrivateFolderSddl(account), read = DaclText(wide);
  *report = "access list " + written + (read == written ? "" : "; the system reports " + read);
  return true;
}

void PrepareListeningSocket(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
  // No other program may bind the same address beside us, whatever its
  // account.
  const BOOL on = TRUE;
  if (setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on) != 0)
    ec.assign(WSAGetLastError(), boost::system::system_category());
}

// The Service Control Manager starts services with no sockets.
HandedSocket AdoptHandedSocket(boost::asio::ip::tcp::acceptor&, std::string*) { return HandedSocket::None; }

namespace {

// SetDefaultDllDirectories and AddDllDirectory come with Windows 8, and with
// Windows 7 only by its update KB2533623: looked up, so that the program
// still starts without them (and says so).
template <typename Function>
Function Kernel32(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}
using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
using AddDllDirectoryFn = DLL_DIRECTORY_COOKIE(WINAPI*)(PCWSTR);

}  // namespace

std::string HardenProcess() {
  // Before any DLL is loaded by name: only the program's folder and the
  // system folder (System32; SysWOW64 for a 32-bit program on 64-bit
  // Windows), never PATH or the working folder, where users may write.
  const auto setDefault = Kernel32<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories");
  if (setDefault == nullptr) {
    SetDllDirectoryW(L"");  // at least not the working folder
    return "this Windows cannot restrict where DLLs are looked for (Windows 7 needs update KB2533623): PATH is "
           "searched too";
  }
  if (!setDefault(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32))
    return "cannot restrict where DLLs are looked for: " + Text(GetLastError());
  return "";
}

bool ChooseDecoder(const std::string& setting, std::string* library, std::string* report) {
  library->clear();
  if (!setting.empty()) {
    // The library loads it by its ANSI name; a full path loads that file
    // only, whatever the search order.
    *library = Ansi(Wide(setting));
    if (library->empty()) {
      *report = "the decoder setting " + setting + " cannot be named in this system's code page";
      return false;
    }
    *report = "portrait decoder " + setting + " (the decoder setting)";
    return true;
  }
  const char* const name = "WltRS.dll";
  // The search HardenProcess left: beside the program, the system folder.
  if (HMODULE found = LoadLibraryExA(name, nullptr, 0)) {
    wchar_t path[MAX_PATH] = L"";
    const DWORD n = GetModuleFileNameW(found, path, MAX_PATH);
    FreeLibrary(found);
    *report = "portrait decoder " + (n > 0 && n < MAX_PATH ? Utf8(path) : std::string(name));
    return true;
  }
  // The installer's optional stand-in, in stand-in\ beside the program: used
  // only when there is no other, so that it never hides a real decoder.
  const std::wstring folder = ProgramFolder() + L"stand-in";
  const std::wstring standIn = folder + L"\\" + Wide(name);
  if (folder.size() <= 8 || GetFileAttributesW(standIn.c_str()) == INVALID_FILE_ATTRIBUTES) {
    *report = "no portrait decoder beside the program or in the system folder: cards are read without their "
              "portrait";
    return true;  // the library's own load then finds none either
  }
  // Its folder joins the search (for the stand-in's own imports), and the
  // converter loads it by its full path.
  const auto setDefault = Kernel32<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories");
  const auto addDirectory = Kernel32<AddDllDirectoryFn>("AddDllDirectory");
  if (setDefault == nullptr || addDirectory == nullptr || addDirectory(folder.c_str()) == nullptr ||
      !setDefault(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                  LOAD_LIBRARY_SEARCH_USER_DIRS)) {
    *report = "cannot add " + Utf8(folder) + " to the DLL search: " + Text(GetLastError());
    return false;
  }
  *library = Ansi(standIn);
  *report = "no portrait decoder installed: using the stand-in " + Utf8(standIn) + " (it cannot decode real cards)";
  return !library->empty();
}

std::string ServiceDataFolder(bool underManager, const char* leaf, std::string* report, std::string* error) {
  char data[MAX_PATH] = "";
  // A console run keeps its files in the user's own profile; the service,
  // in %ProgramData%, whose Q48Reader folder the installer makes.
  const int which = underManager ? CSIDL_COMMON_APPDATA : CSIDL_LOCAL_APPDATA;
  const HRESULT found = SHGetFolderPathA(nullptr, which, nullptr, SHGFP_TYPE_CURRENT, data);
  if (FAILED(found)) {
    *error = "cannot find the folder for the service's data: " + Text(static_cast<DWORD>(found));
    return "";
  }
  const std::string parent = std::string(data) + "\\Q48Reader";
  // Needs FILE_ADD_SUBDIRECTORY on %ProgramData% (Users have it) or on the
  // profile; the installer's lock list lets the service SID only list this
  // folder and make subfolders in it.
  if (!CreateDirectoryA(parent.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *error = "cannot create " + q48tool::SystemTextToUtf8(parent) + ": " + Text(GetLastError());
    return "";
  }
  const std::string folder = parent + "\\" + leaf;
  if (!MakePrivateFolder(folder, underManager, report, error)) return "";
  return folder;
}

std::string ServiceLogPath(std::string* error) {
  std::string acl;
  const std::string folder = ServiceDataFolder(true, "logs", &acl, error);
  return folder.empty() ? "" : folder + "\\q48-service.log";
}

}  // namespace q48service
