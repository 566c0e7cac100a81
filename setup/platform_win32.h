// The installer's platform operations on Windows.
#pragma once

#include "installer.h"

namespace installer {

class Win32Platform final : public Platform {
 public:
  bool Delete(const std::string& path) override;
  bool Copy(const std::string& source, const std::string& target) override;
  std::uint32_t LastError() override;
  void CreateDir(const std::string& path) override;
  bool IsWow64() override;
  int Run(const std::string& command) override;
  void Print(const std::string& text) override;
  int ReadChar() override;
  [[noreturn]] void Exit(int status) override;
};

}  // namespace installer
