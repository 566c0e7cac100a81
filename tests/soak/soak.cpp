// Soak: many exchanges through the exchange functions against the emulator
// over a pty, one in ten misbehaving at random, every result checked against
// the code it must give; afterwards the open descriptors, threads and heap
// must be what they were before.
//
//   build/linux/bin/q48_soak --count 10000     # the full run: about 30 min (1815 s measured)
//   build/linux/bin/q48_soak --count 300       # the short run CTest does
//   build/linux/bin/q48_soak --exports build/linux/bin/libQ48Reader.so
//                                             # through the shared library's exports, as a host calls them
//
// Options: --count N (10000), --seed S (random), --verbose, --exports LIBRARY.
// With --exports (root only) the soak gives itself a private mount namespace
// whose /sys shows one FTDI 0403:6001 port and whose /dev/ttyUSB0 links to
// the emulator's pty, so the exports find the reader as they would a real one.
// Exit status 0 when every result was right and nothing leaked.
#include <dlfcn.h>
#include <errno.h>
#include <malloc.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "api/exchange.h"
#include "emulator.h"
#include "photo/portrait.h"

// Heap accounting. Under a sanitizer its allocator keeps the count of live
// bytes; otherwise malloc and its relatives are wrapped here around glibc's
// own, counting live blocks from every library (the text converter, the
// JPEG encoder, the dynamic loader) and every thread. operator new is counted
// on its own as well.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define Q48_SOAK_SANITIZER 1
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {
std::atomic<long> gNewBlocks{0};
#ifndef Q48_SOAK_SANITIZER
std::atomic<long> gMallocBlocks{0};
std::atomic<long> gMallocBytes{0};
void Counted(void* block, long sign) {
  if (block == nullptr) return;
  gMallocBlocks.fetch_add(sign, std::memory_order_relaxed);
  gMallocBytes.fetch_add(sign * static_cast<long>(malloc_usable_size(block)), std::memory_order_relaxed);
}
#endif
}  // namespace

#ifndef Q48_SOAK_SANITIZER
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);

void* malloc(size_t size) {
  void* block = __libc_malloc(size);
  Counted(block, 1);
  return block;
}
void* calloc(size_t count, size_t size) {
  void* block = __libc_calloc(count, size);
  Counted(block, 1);
  return block;
}
void* realloc(void* block, size_t size) {
  Counted(block, -1);
  void* moved = __libc_realloc(block, size);
  // A failed realloc keeps the old block; realloc(p, 0) frees it.
  Counted(moved != nullptr ? moved : (size != 0 ? block : nullptr), 1);
  return moved;
}
void free(void* block) {
  Counted(block, -1);
  __libc_free(block);
}
void* memalign(size_t alignment, size_t size) {
  void* block = __libc_memalign(alignment, size);
  Counted(block, 1);
  return block;
}
void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* block = memalign(alignment, size);
  if (block == nullptr) return ENOMEM;
  *out = block;
  return 0;
}
void* valloc(size_t size) { return memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size); }
}
#endif

void* operator new(size_t size) {
  void* block = std::malloc(size ? size : 1);
  if (block == nullptr) throw std::bad_alloc();
  gNewBlocks.fetch_add(1, std::memory_order_relaxed);
  return block;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  void* block = std::malloc(size ? size : 1);
  if (block != nullptr) gNewBlocks.fetch_add(1, std::memory_order_relaxed);
  return block;
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept {
  if (block == nullptr) return;
  gNewBlocks.fetch_sub(1, std::memory_order_relaxed);
  std::free(block);
}
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete(void* block, size_t) noexcept { operator delete(block); }
void operator delete[](void* block, size_t) noexcept { operator delete(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { operator delete(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { operator delete(block); }

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kReadCardBuffer = 1000 + q48::kPortraitTextBuffer;  // 11 slots, the last one the photo

size_t CountEntries(const char* directory) {
  size_t count = 0;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) ++count;
  return count;
}

struct Resources {
  size_t fds = 0;       // the iterator's own descriptor not counted
  size_t threads = 0;
  long newBlocks = 0;     // operator new
  long mallocBlocks = -1; // malloc (without a sanitizer)
  long heapBytes = 0;     // malloc: ours, or the sanitizer's count

  static Resources Now() {
    Resources r;
    r.fds = CountEntries("/proc/self/fd") - 1;
    r.threads = CountEntries("/proc/self/task");
    r.newBlocks = gNewBlocks.load();
#ifdef Q48_SOAK_SANITIZER
    r.heapBytes = static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
    r.mallocBlocks = gMallocBlocks.load();
    r.heapBytes = gMallocBytes.load();
#endif
    return r;
  }
};

enum class Export { List, ReadCard, Iccid, CardType, Write, Count };
enum class Fault { None, NoAnswer, BadCrc, HangUp, Split, Noise, Status, Count };

const char* Name(Export e) {
  static const char* const names[] = {"ListReaderCard", "ReadCard", "ReadIccid", "ReadCardType", "WriteCard"};
  return names[static_cast<int>(e)];
}
const char* Name(Fault f) {
  static const char* const names[] = {"none", "no answer", "bad CRC", "hang-up", "split", "noise", "refused"};
  return names[static_cast<int>(f)];
}

// Faults that leave the library waiting out its poll go to ListReaderCard,
// whose wait (3 s) is the shortest; the others cost nothing extra and weigh
// twice as much.
bool Silent(Fault f) { return f == Fault::NoAnswer || f == Fault::BadCrc || f == Fault::HangUp; }
const std::vector<std::pair<Fault, int>> kFaultWeights = {{Fault::NoAnswer, 1}, {Fault::BadCrc, 1},
                                                          {Fault::HangUp, 1},   {Fault::Split, 2},
                                                          {Fault::Noise, 2},    {Fault::Status, 2}};
constexpr double kSilentSeconds = 3.0;

// The five exports of a loaded shared library.
struct Exports {
  short (*list)() = nullptr;
  short (*readCard)(char*) = nullptr;
  short (*readIccid)(char*) = nullptr;
  short (*readCardType)() = nullptr;
  short (*writeCard)(const char*, const char*) = nullptr;

  std::string Load(const std::string& path) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return dlerror();
    auto find = [library](auto& slot, const char* name) {
      void* symbol = dlsym(library, name);
      std::memcpy(&slot, &symbol, sizeof symbol);
      return symbol != nullptr;
    };
    if (!find(list, "zelListReaderCard") || !find(readCard, "zelReadCard") || !find(readIccid, "zelReadICCID") ||
        !find(readCardType, "zelReadCardType") || !find(writeCard, "zelWriteCard"))
      return "an export is missing";
    return std::string();  // kept loaded for the life of the process
  }
};

// A private mount namespace in which /sys holds one USB serial port of the
// reader's identity and /dev holds ttyUSB0 (linked to the emulator's pty by
// LinkReader), the pty devices and the basic nodes. "" on success.
std::string EnterReaderNamespace(const std::string& work) {
  if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "cannot make / private";
  // Everything below `work` lives on a tmpfs of this namespace only.
  std::error_code error;
  fs::create_directories(work, error);
  if (mount("none", work.c_str(), "tmpfs", 0, "mode=700") != 0) return std::string("tmpfs: ") + std::strerror(errno);
  const std::string usb = work + "/sys/devices/pci0000:00/usb1/1-1";
  fs::create_directories(usb + "/1-1:1.0/ttyUSB0/tty/ttyUSB0", error);
  fs::create_directories(work + "/sys/class/tty/ttyUSB0", error);
  fs::create_directories(work + "/pts", error);
  fs::create_directories(work + "/olddev", error);
  std::ofstream(usb + "/idVendor") << "0403\n";
  std::ofstream(usb + "/idProduct") << "6001\n";
  fs::create_directory_symlink("../../../devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0",
                               work + "/sys/class/tty/ttyUSB0/device", error);
  auto bind = [](const std::string& from, const std::string& to, unsigned long extra = 0) {
    return mount(from.c_str(), to.c_str(), nullptr, MS_BIND | extra, nullptr) == 0;
  };
  if (!bind("/dev/pts", work + "/pts") || !bind("/dev", work + "/olddev", MS_REC) || !bind(work + "/sys", "/sys"))
    return std::string("bind mounts: ") + std::strerror(errno);
  if (mount("none", "/dev", "tmpfs", 0, "mode=755") != 0) return std::string("tmpfs on /dev: ") + std::strerror(errno);
  fs::create_directory("/dev/pts", error);
  if (!bind(work + "/pts", "/dev/pts")) return "cannot bind /dev/pts";
  // New ptys come from the devpts instance itself (root may open its ptmx).
  fs::create_symlink("pts/ptmx", "/dev/ptmx", error);
  for (const char* node : {"null", "zero", "urandom", "random", "tty"}) {
    const std::string target = std::string("/dev/") + node;
    std::ofstream(target).flush();
    if (!bind(work + "/olddev/" + node, target)) return "cannot bind " + target;
  }
  return std::string();
}

void LinkReader(const std::string& slave) {
  std::error_code error;
  fs::remove("/dev/ttyUSB0", error);
  fs::create_symlink(slave, "/dev/ttyUSB0", error);
}

class Soak {
 public:
  Soak(uint32_t seed, bool verbose, const Exports* exports)
      : random_(seed), verbose_(verbose), card_(q48emu::SampleCard()), exports_(exports) {
    portraitDir_ = (fs::temp_directory_path() / ("q48-soak-" + std::to_string(::getpid()))).string();
    portrait_ = std::make_unique<q48::SystemPortraitConverter>(portraitDir_);
    portrait_->SetDecoderLibrary(Q48_TEST_DECODER);
    readCardBuffer_.resize(kReadCardBuffer);
    iccidBuffer_.resize(q48::kIccidTextBuffer);
  }

  ~Soak() {
    emulator_.reset();
    std::error_code ignored;
    fs::remove_all(portraitDir_, ignored);
  }

  bool StartEmulator() {
    emulator_ = std::make_unique<q48emu::Emulator>(card_);
    std::string error;
    if (!emulator_->OpenPty(&error)) {
      std::fprintf(stderr, "soak: no pty: %s\n", error.c_str());
      return false;
    }
    emulator_->Start();
    if (exports_ != nullptr) LinkReader(emulator_->SlavePath());
    return true;
  }
  void StopEmulator() { emulator_.reset(); }

  // One exchange; false (with a report) when its result is wrong.
  bool Run(size_t index, Export which, Fault fault) {
    q48::ExchangeOptions options;
    options.device = emulator_->SlavePath();
    options.portrait = portrait_.get();
    Arrange(which, fault);

    std::fill(readCardBuffer_.begin(), readCardBuffer_.end(), 0);
    std::fill(iccidBuffer_.begin(), iccidBuffer_.end(), 0);
    const std::string number = RandomDigits(1 + random_() % 19);
    const std::string content = RandomText(1 + random_() % 19);
    int16_t result = 0;
    const auto start = Clock::now();
    if (exports_ != nullptr) {
      switch (which) {
        case Export::List: result = exports_->list(); break;
        case Export::ReadCard: result = exports_->readCard(readCardBuffer_.data()); break;
        case Export::Iccid: result = exports_->readIccid(iccidBuffer_.data()); break;
        case Export::CardType: result = exports_->readCardType(); break;
        case Export::Write: result = exports_->writeCard(content.c_str(), number.c_str()); break;
        case Export::Count: break;
      }
    } else switch (which) {
      case Export::List: result = q48::ListReaderCard(options); break;
      case Export::ReadCard: result = q48::ReadCard(options, readCardBuffer_.data()); break;
      case Export::Iccid: result = q48::ReadIccid(options, iccidBuffer_.data()); break;
      case Export::CardType: result = q48::ReadCardType(options); break;
      case Export::Write: result = q48::WriteCard(options, content.c_str(), number.c_str()); break;
      case Export::Count: break;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    (Silent(fault) ? silentSeconds_ : otherSeconds_) += seconds;

    const std::string problem = Verify(which, fault, result, number, content);
    if (verbose_ || !problem.empty())
      std::fprintf(problem.empty() ? stdout : stderr, "#%zu %s, %s: %d (%.3f s)%s%s\n", index, Name(which),
                   Name(fault), result, seconds, problem.empty() ? "" : ": ", problem.c_str());
    if (fault == Fault::HangUp) {
      // The line is gone for good: a new reader.
      StopEmulator();
      if (!StartEmulator()) return false;
    }
    return problem.empty();
  }

  double silentSeconds() const { return silentSeconds_; }
  double otherSeconds() const { return otherSeconds_; }
  std::mt19937& random() { return random_; }

 private:
  void Arrange(Export which, Fault fault) {
    q48emu::Behaviour b;
    switch (fault) {
      case Fault::None: return;
      case Fault::NoAnswer: b.noAnswer = true; break;
      case Fault::BadCrc: b.badCrc = true; break;
      case Fault::HangUp: b.hangUp = true; break;
      case Fault::Split: {
        const size_t pieces = 1 + random_() % 6;
        for (size_t i = 0; i < pieces; ++i) b.splitAt.push_back(1 + random_() % 1320);
        b.pauseMs = static_cast<int>(random_() % 4);
        break;
      }
      case Fault::Noise: {
        // Bytes that look like frame parts: preamble, start and end bytes.
        static const uint8_t kLookalikes[] = {0x55, 0x55, 0x55, 0x04, 0x06, 0x00, 0xFF};
        b.noiseBefore.resize(1 + random_() % 48);
        for (uint8_t& byte : b.noiseBefore)
          byte = random_() % 2 ? kLookalikes[random_() % sizeof kLookalikes] : static_cast<uint8_t>(random_());
        break;
      }
      case Fault::Status: b.status = static_cast<uint8_t>(1 + random_() % 255); break;
      case Fault::Count: break;
    }
    // A write is two exchanges; the fault may hit either.
    if (which == Export::Write && fault == Fault::Status && random_() % 2) emulator_->PushBehaviour({});
    emulator_->PushBehaviour(b);
  }

  std::string Verify(Export which, Fault fault, int16_t result, const std::string& number,
                     const std::string& content) {
    const bool silent = Silent(fault);
    const bool refused = fault == Fault::Status;
    const bool answered = !silent && !refused;
    int16_t expected = 0;
    switch (which) {
      case Export::List: expected = answered ? 1 : -1; break;
      case Export::ReadCard: expected = answered ? 0 : refused ? -6 : -4; break;
      case Export::Iccid: expected = answered ? 0 : refused ? -2 : -4; break;
      case Export::CardType: expected = answered ? card_.cardType : refused ? -2 : -4; break;
      case Export::Write: expected = answered ? 0 : refused ? -2 : -4; break;
      case Export::Count: break;
    }
    if (result != expected) return "expected " + std::to_string(expected);

    const auto zero = [](const std::vector<char>& buffer) {
      return std::all_of(buffer.begin(), buffer.end(), [](char c) { return c == 0; });
    };
    switch (which) {
      case Export::ReadCard:
        if (!answered) {
          if (!zero(readCardBuffer_)) return "buffer written after a failure";
          if (exports_ != nullptr) break;  // the library's own fields are out of reach
          std::lock_guard<std::mutex> lock(q48::ExchangeLock());
          if (!q48::SharedResultFields().Name.empty() || !q48::SharedResultFields().PhotoBase64.empty())
            return "the holder's data outlived a failed read";
        } else if (std::string(readCardBuffer_.data() + 500) != card_.idCard.idNumber ||
                   std::strlen(readCardBuffer_.data() + 1000) < 100) {
          return "wrong identity-card fields";
        }
        break;
      case Export::Iccid:
        if (answered ? std::string(iccidBuffer_.data()) != card_.iccid : !zero(iccidBuffer_))
          return "wrong ICCID buffer";
        break;
      case Export::Write:
        if (answered && (emulator_->WrittenNumbers().empty() || emulator_->WrittenNumbers().back() != "+86" + number ||
                         emulator_->WrittenContents().back() != content))
          return "the card holds other texts";
        break;
      default:
        break;
    }
    return std::string();
  }

  std::string RandomDigits(size_t n) {
    std::string text(n, '0');
    for (char& c : text) c = static_cast<char>('0' + random_() % 10);
    return text;
  }
  std::string RandomText(size_t n) {
    std::string text(n, 'a');
    for (char& c : text) c = static_cast<char>(0x21 + random_() % 94);
    return text;
  }

  std::mt19937 random_;
  bool verbose_;
  q48emu::CardProfile card_;
  std::string portraitDir_;
  std::unique_ptr<q48::SystemPortraitConverter> portrait_;
  const Exports* exports_;
  std::unique_ptr<q48emu::Emulator> emulator_;
  std::vector<char> readCardBuffer_;
  std::vector<char> iccidBuffer_;
  double silentSeconds_ = 0;
  double otherSeconds_ = 0;
};

Fault PickFault(std::mt19937& random) {
  int total = 0;
  for (const auto& [fault, weight] : kFaultWeights) total += weight;
  int pick = static_cast<int>(random() % static_cast<unsigned>(total));
  for (const auto& [fault, weight] : kFaultWeights)
    if ((pick -= weight) < 0) return fault;
  return Fault::None;
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = 10000;
  uint32_t seed = std::random_device{}();
  bool verbose = false;
  std::string library;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--count" && i + 1 < argc) {
      count = std::strtoul(argv[++i], nullptr, 10);
    } else if (arg == "--seed" && i + 1 < argc) {
      seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--verbose") {
      verbose = true;
    } else if (arg == "--exports" && i + 1 < argc) {
      library = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--count N] [--seed S] [--verbose] [--exports LIBRARY]\n", argv[0]);
      return 2;
    }
  }

  Exports exports;
  std::string work;
  if (!library.empty()) {
    if (geteuid() != 0) {
      std::printf("soak: skipped: --exports needs root for a private mount namespace\n");
      return 77;
    }
    // The exports load the decoder by its bare name and put the portrait
    // under XDG_CACHE_HOME: both are read from the environment at start.
    work = (fs::temp_directory_path() / ("q48-soak-ns-" + std::to_string(::getpid()))).string();
    if (std::getenv("Q48_SOAK_CHILD") == nullptr) {
      const std::string decoderDir = fs::path(Q48_TEST_DECODER).parent_path().string();
      setenv("LD_LIBRARY_PATH", decoderDir.c_str(), 1);
      setenv("XDG_CACHE_HOME", (work + "-cache").c_str(), 1);
      setenv("Q48_SOAK_CHILD", "1", 1);
      execv("/proc/self/exe", argv);
      std::fprintf(stderr, "soak: cannot restart: %s\n", std::strerror(errno));
      return 1;
    }
    const std::string why = EnterReaderNamespace(work);
    if (!why.empty()) {
      std::printf("soak: skipped: no private mount namespace here (%s)\n", why.c_str());
      return 77;
    }
    const std::string error = exports.Load(library);
    if (!error.empty()) {
      std::fprintf(stderr, "soak: %s: %s\n", library.c_str(), error.c_str());
      return 1;
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("soak: %zu exchanges, seed %u, %s\n", count, seed,
              library.empty() ? "through the exchange functions" : ("through the exports of " + library).c_str());

  Soak soak(seed, verbose, library.empty() ? nullptr : &exports);
  // One good exchange of each kind first, so that what the library and the
  // runtime set up once (the exchange lock, the text converter, the
  // decoder's first load) is in place before counting.
  if (!soak.StartEmulator()) return 1;
  const auto warmStart = Clock::now();
  bool ok = true;
  for (int e = 0; e < static_cast<int>(Export::Count); ++e) ok &= soak.Run(0, static_cast<Export>(e), Fault::None);
  const double warmSeconds = std::chrono::duration<double>(Clock::now() - warmStart).count();
  soak.StopEmulator();
  if (!ok) return 1;

  // Expected duration: the silent faults wait out their 3 s, the rest take
  // about what the warm-up took per exchange.
  int weights = 0, silentWeights = 0;
  for (const auto& [fault, weight] : kFaultWeights) {
    weights += weight;
    if (Silent(fault)) silentWeights += weight;
  }
  const double faults = static_cast<double>(count) / 10.0;
  const double silent = faults * silentWeights / weights;
  const double estimate = silent * kSilentSeconds + (static_cast<double>(count) - silent) * warmSeconds / 5.0;
  std::printf("expected duration about %.0f s (%.0f silent faults at %.0f s, the rest at %.3f s)\n", estimate,
              silent, kSilentSeconds, warmSeconds / 5.0);

  const Resources before = Resources::Now();
  Resources peak = before;
  size_t failures = 0;
  size_t tally[static_cast<int>(Export::Count)][static_cast<int>(Fault::Count)] = {};
  const auto start = Clock::now();
  if (!soak.StartEmulator()) return 1;
  std::mt19937& random = soak.random();
  size_t faultAt = random() % 10;
  for (size_t i = 0; i < count; ++i) {
    if (i % 10 == 0 && i > 0) faultAt = i + random() % 10;
    const Fault fault = i == faultAt ? PickFault(random) : Fault::None;
    const Export which = Silent(fault) ? Export::List : static_cast<Export>(random() % 5);
    ++tally[static_cast<int>(which)][static_cast<int>(fault)];
    if (!soak.Run(i, which, fault) && ++failures >= 20) {
      std::fprintf(stderr, "soak: stopping after %zu wrong results\n", failures);
      break;
    }
    if (i % 50 == 0) {
      const Resources now = Resources::Now();
      peak.fds = std::max(peak.fds, now.fds);
      peak.threads = std::max(peak.threads, now.threads);
    }
    if (!verbose && (i + 1) % 1000 == 0)
      std::printf("  %zu done, %.0f s\n", i + 1, std::chrono::duration<double>(Clock::now() - start).count());
  }
  soak.StopEmulator();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const Resources after = Resources::Now();

  std::printf("soak: %zu exchanges in %.1f s (silent faults %.1f s, the rest %.1f s), %zu wrong results\n", count,
              seconds, soak.silentSeconds(), soak.otherSeconds(), failures);
  for (int e = 0; e < static_cast<int>(Export::Count); ++e) {
    std::printf("  %-15s", Name(static_cast<Export>(e)));
    for (int f = 0; f < static_cast<int>(Fault::Count); ++f)
      if (tally[e][f]) std::printf("  %s %zu", Name(static_cast<Fault>(f)), tally[e][f]);
    std::printf("\n");
  }
  std::printf("  descriptors %zu before, %zu after (at most %zu with the emulator's line)\n", before.fds, after.fds,
              peak.fds);
  std::printf("  threads     %zu before, %zu after (at most %zu with the emulator's)\n", before.threads, after.threads,
              peak.threads);
  std::printf("  heap        operator new: %ld blocks before, %ld after\n", before.newBlocks, after.newBlocks);
  if (before.mallocBlocks >= 0)
    std::printf("              malloc: %ld blocks before, %ld after\n", before.mallocBlocks, after.mallocBlocks);
  std::printf("              %ld bytes before, %ld after (%s)\n", before.heapBytes, after.heapBytes,
#ifdef Q48_SOAK_SANITIZER
              "the sanitizer's allocator"
#else
              "malloc, usable sizes"
#endif
  );

  bool leaked = false;
  auto leak = [&leaked](bool condition, const char* what) {
    if (!condition) return;
    leaked = true;
    std::fprintf(stderr, "soak: %s\n", what);
  };
  leak(after.fds != before.fds, "descriptors leaked");
  leak(after.threads != before.threads, "threads leaked");
  leak(after.newBlocks != before.newBlocks, "operator new blocks leaked");
  leak(after.mallocBlocks != before.mallocBlocks, "malloc blocks leaked");
  // Bytes vary a little with the allocator's own bookkeeping; a leak of even
  // one small block per exchange would pass this by far.
  leak(after.heapBytes - before.heapBytes > 4096, "heap bytes grew");
  if (!work.empty()) {
    std::error_code ignored;
    fs::remove_all(work + "-cache", ignored);
    (void)umount2(work.c_str(), MNT_DETACH);
    fs::remove(work, ignored);  // empty once its tmpfs is gone
  }
  return failures == 0 && !leaked ? 0 : 1;
}
