// q48-service's settings source on Windows: the administrator's values in
// the registry key HKLM\SOFTWARE\Q48Reader\q48-service.
#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "serial/line_settings_win32.h"
#include "service_platform.h"
#include "tool_platform.h"

namespace q48service {

namespace {

constexpr char kSettingsKey[] = "SOFTWARE\\Q48Reader\\q48-service";

std::string Text(DWORD error) { return q48tool::SystemTextToUtf8(q48::SystemErrorText(error)); }

std::string Utf8(const wchar_t* text, size_t length) {
  if (length == 0) return "";
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &out[0], n, nullptr, nullptr);
  return out;
}

// Whether this 32-bit program runs on 64-bit Windows, where the registry
// redirects its HKLM\SOFTWARE to HKLM\SOFTWARE\WOW6432Node.
bool Redirected() {
  BOOL wow64 = FALSE;
  return sizeof(void*) == 4 && IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace

std::string SystemSettingsName() {
  return Redirected() ? "HKLM\\SOFTWARE\\WOW6432Node\\Q48Reader\\q48-service" : std::string("HKLM\\") + kSettingsKey;
}

bool ReadSystemSettings(SettingsSource* source, std::string* error) {
  // The view of the program's own bitness: a 32-bit service on 64-bit
  // Windows reads (and the 32-bit installer writes) the key under
  // SOFTWARE\WOW6432Node, as every 32-bit program's. KEY_QUERY_VALUE is
  // all RegEnumValue needs; Users may read the key by its default list.
  const std::string name = SystemSettingsName();
  HKEY key = nullptr;
  const LSTATUS opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE, &key);
  if (opened == ERROR_FILE_NOT_FOUND) return true;  // none: the defaults
  const auto fail = [&](const std::string& why) {
    *error = name + ": " + why;
    if (key != nullptr) RegCloseKey(key);
    return false;
  };
  if (opened != ERROR_SUCCESS) return fail(Text(static_cast<DWORD>(opened)));
  SettingsSource read;
  read.name = name;
  for (DWORD index = 0;; ++index) {
    wchar_t valueName[256];
    DWORD nameLength = 256, type = 0, bytes = 0;
    LSTATUS rc = RegEnumValueW(key, index, valueName, &nameLength, nullptr, &type, nullptr, &bytes);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return fail(Text(static_cast<DWORD>(rc)));
    std::vector<BYTE> data(bytes + 2 * sizeof(wchar_t), 0);  // room for missing terminators
    nameLength = 256;
    rc = RegEnumValueW(key, index, valueName, &nameLength, nullptr, &type, data.data(), &bytes);
    if (rc != ERROR_SUCCESS) return fail(Text(static_cast<DWORD>(rc)));
    if (nameLength == 0) continue;  // the key's unnamed default value is no setting
    // Registry value names ignore case, as the registry does: "Listen" is
    // "listen".
    const std::string given = Utf8(valueName, nameLength);
    const SettingKey* setting = FindSettingKey(given, /*ignoreCase=*/true);
    if (setting == nullptr) return fail("unknown value \"" + given + "\"");
    std::vector<std::string>& texts = read.values[setting->name];
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(data.data());
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      const std::string text = Utf8(wide, wcslen(wide));
      if (setting->form == SettingForm::List) {
        texts = SplitSettingList(text);
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

}  // namespace q48service
