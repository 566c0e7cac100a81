// The POSIX reader thread without memory for its read buffer: the host
// program must live on, and the exchange fail as a lost answer does. A
// program of its own, because it replaces the global allocation functions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "emulator.h"
#include "serial/com_port.h"

namespace {

// Allocations of exactly this size fail while it is set (the reader thread's
// buffer is the only block of that size made meanwhile).
std::atomic<size_t> failingSize{0};

void* Allocate(size_t size) {
  if (size != 0 && size == failingSize.load()) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }

namespace q48 {
namespace {

bool WaitForQueued(const ComPort& port, size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (port.QueuedCount() < count && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return port.QueuedCount() == count;
}

TEST(ReaderThreadMemory, NoBufferForTheThreadIsALostAnswerNotTheEndOfTheHost) {
  q48emu::Emulator emulator;
  std::string error;
  ASSERT_TRUE(emulator.OpenPty(&error)) << error;
  emulator.Start();
  const std::vector<uint8_t> answer = q48emu::BuildResponseFrame(3, 10, 0, {7});
  {
    ComPort port;
    ASSERT_TRUE(port.Open(emulator.SlavePath()));
    failingSize = kMaxChunkSize;
    ASSERT_TRUE(port.ResumeReader());
    emulator.SendRaw(answer);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    failingSize = 0;
    EXPECT_EQ(port.QueuedCount(), 0u);
    port.Close();  // the thread has ended; joining it still works
  }
  // The next port works as usual.
  ComPort port;
  ASSERT_TRUE(port.Open(emulator.SlavePath()));
  ASSERT_TRUE(port.ResumeReader());
  emulator.SendRaw(answer);
  EXPECT_TRUE(WaitForQueued(port, 1));
}

}  // namespace
}  // namespace q48
