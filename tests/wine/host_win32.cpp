// A Windows host of Q48Reader.dll for the tests: loads the library from its
// own folder, looks up all five exports by name and calls one of them.
//
//   q48_wine_host <export> [content number] [--fill HH] [--repeat N]
//
// Prints, one item a line:
//   result <code>            the export's result (once per call)
//   elapsed_us <n>           wall time of the call in microseconds
//   buffer <size> <hex>      zelReadCard / zelReadICCID: the buffer up to its
//                            last byte that differs from the fill byte
// Exit status 0 when the call was made; 2 for bad arguments, 3 when the
// library or an export is missing.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The calling convention of the exports: __stdcall, which only 32-bit
// Windows distinguishes.
using NoArgument = short(WINAPI*)();
using OneBuffer = short(WINAPI*)(char*);
using TwoTexts = short(WINAPI*)(const char*, const char*);

constexpr size_t kReadCardBuffer = 52200;
constexpr size_t kIccidBuffer = 60;

void PrintBuffer(const std::vector<char>& buffer, unsigned char fill) {
  size_t used = buffer.size();
  while (used > 0 && static_cast<unsigned char>(buffer[used - 1]) == fill) --used;
  std::printf("buffer %u ", static_cast<unsigned>(buffer.size()));
  for (size_t i = 0; i < used; ++i) std::printf("%02X", static_cast<unsigned char>(buffer[i]));
  std::printf("\n");
}

int Usage() {
  std::fprintf(stderr, "usage: q48_wine_host <export> [content number] [--fill HH] [--repeat N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string name = argv[1];
  std::vector<std::string> texts;
  unsigned char fill = 0;
  int repeat = 1;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--fill" && i + 1 < argc) {
      fill = static_cast<unsigned char>(std::strtoul(argv[++i], nullptr, 16));
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else {
      texts.push_back(arg);
    }
  }
  if (repeat < 1) return Usage();

  HMODULE library = LoadLibraryA("Q48Reader.dll");
  if (library == nullptr) {
    std::printf("missing Q48Reader.dll (error %lu)\n", GetLastError());
    return 3;
  }
  const char* const names[] = {"zelListReaderCard", "zelReadCard", "zelReadICCID", "zelReadCardType",
                               "zelWriteCard"};
  void* entries[5] = {};
  for (int i = 0; i < 5; ++i) {
    entries[i] = reinterpret_cast<void*>(GetProcAddress(library, names[i]));
    if (entries[i] == nullptr) {
      std::printf("missing export %s\n", names[i]);
      return 3;
    }
  }

  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  for (int call = 0; call < repeat; ++call) {
    std::vector<char> buffer;
    short result = 0;
    LARGE_INTEGER start, end;
    if (name == "zelListReaderCard" || name == "zelReadCardType") {
      const auto entry = reinterpret_cast<NoArgument>(entries[name == "zelListReaderCard" ? 0 : 3]);
      QueryPerformanceCounter(&start);
      result = entry();
      QueryPerformanceCounter(&end);
    } else if (name == "zelReadCard" || name == "zelReadICCID") {
      const bool card = name == "zelReadCard";
      buffer.assign(card ? kReadCardBuffer : kIccidBuffer, static_cast<char>(fill));
      const auto entry = reinterpret_cast<OneBuffer>(entries[card ? 1 : 2]);
      QueryPerformanceCounter(&start);
      result = entry(buffer.data());
      QueryPerformanceCounter(&end);
    } else if (name == "zelWriteCard") {
      if (texts.size() != 2) return Usage();
      const auto entry = reinterpret_cast<TwoTexts>(entries[4]);
      QueryPerformanceCounter(&start);
      result = entry(texts[0].c_str(), texts[1].c_str());
      QueryPerformanceCounter(&end);
    } else {
      return Usage();
    }
    std::printf("result %d\n", result);
    std::printf("elapsed_us %lld\n",
                static_cast<long long>((end.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart));
    if (!buffer.empty()) PrintBuffer(buffer, fill);
    std::fflush(stdout);
  }
  FreeLibrary(library);
  return 0;
}
