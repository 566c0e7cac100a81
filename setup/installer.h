// The installer's script: copies the controls and libraries into C:\Palvix and
// the system directory and registers the two controls. The script is portable;
// everything it asks of the operating system goes through Platform, so the
// Windows program and the tests run the same code.
#pragma once

#include <cstdint>
#include <string>

namespace installer {

// Exit statuses: a failed installation must be distinguishable from a good one
// by a script or an outer installer.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

// The operating-system operations the script uses. Paths and texts are byte
// strings in the ANSI code page; nothing is converted.
class Platform {
 public:
  virtual ~Platform() = default;

  // Deletes a file; true on success (DeleteFileA).
  virtual bool Delete(const std::string& path) = 0;
  // Copies source over target, overwriting an existing target; true on
  // success (CopyFileA with fail-if-exists false).
  virtual bool Copy(const std::string& source, const std::string& target) = 0;
  // The error code of the operation that failed just before (GetLastError).
  virtual std::uint32_t LastError() = 0;
  // Creates a directory with default security; the outcome is not used
  // (CreateDirectoryA).
  virtual void CreateDir(const std::string& path) = 0;
  // True when the process runs under the 32-bit emulation of 64-bit Windows;
  // false when that cannot be asked (IsWow64Process found in "kernel32").
  virtual bool IsWow64() = 0;
  // Runs a command line through the command interpreter and returns its exit
  // status (system).
  virtual int Run(const std::string& command) = 0;
  // Writes bytes unchanged to standard output (printf).
  virtual void Print(const std::string& text) = 0;
  // Reads one character from standard input (getchar).
  virtual int ReadChar() = 0;
  // Ends the process with a status (exit). Only a test double returns.
  virtual void Exit(int status) = 0;
};

// The whole program: runs the script, reports success or the first failure,
// waits for one character and ends through Platform::Exit with kExitSuccess
// or kExitFailure.
void RunSetup(Platform& platform);

// The steps below return true to go on. False means the installer has
// stopped: its messages are printed, one character has been read, and the
// caller must end the process with kExitFailure without doing anything else.

// Runs every deployment and registration step in order.
[[nodiscard]] bool InstallFiles(Platform& platform);

// Removes a target before it is replaced; a target that does not exist is
// fine.
[[nodiscard]] bool DeleteTarget(Platform& platform, const std::string& path);

// Copies source (which begins with "./") over target.
[[nodiscard]] bool CopyToTarget(Platform& platform, const std::string& target,
                                const std::string& source);

}  // namespace installer
