// What the three Windows parts of q48-service's platform share
// (service_manager_win32.cpp, service_settings_win32.cpp,
// service_hardening_win32.cpp). Called on the service's thread at start;
// nothing here blocks beyond the local file system and the registry.
#pragma once

#include <string>

namespace q48service {

// As the installer registers it (packaging/windows/q48-service.wxs).
inline constexpr char kServiceName[] = "q48-service";

// The SID, as text, of the account the service's folders are for: the
// service's own (NT SERVICE\q48-service) under the service manager, the
// user's in a console. "" when it cannot be had.
std::string AccountSidText(bool underManager);

// The access list of those folders, in SDDL, for `account` (a SID as text).
std::string PrivateFolderSddl(const std::string& account);

// Makes `ansiPath` (one level; the parent must exist) a folder that only
// SYSTEM, the Administrators and the account may use, or takes one that is
// there when it is a plain folder owned by one of them and gives it that
// list. True with the list read back, in SDDL, in *report; false with the
// reason in *error (UTF-8).
bool MakePrivateFolder(const std::string& ansiPath, bool underManager, std::string* report, std::string* error);

}  // namespace q48service
