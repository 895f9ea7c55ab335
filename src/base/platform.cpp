// The platform's own calls behind base/platform.h. Three families: Linux
// (glibc or another libc), other POSIX systems such as macOS, and Windows;
// anything else gets the plain C++ fallbacks.
#include "base/platform.h"

#include <algorithm>
#include <cstring>
#include <new>

#if defined(_WIN32)
#define ORVEX_WINDOWS 1
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#elif defined(__unix__) || defined(__APPLE__)
#define ORVEX_POSIX 1
#include <sys/mman.h>
#include <unistd.h>
#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#define ORVEX_LINUX_AFFINITY 1
#endif
#endif

namespace orvex {

// ---- Searching bytes

const char* find_last_byte(const char* data, std::size_t size, char byte) {
#if defined(__GLIBC__)
  // glibc's search is vectorised.
  return static_cast<const char*>(memrchr(data, static_cast<unsigned char>(byte), size));
#else
  // Eight bytes at a time: a word holds byte when word ^ pattern has a zero byte.
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  const std::uint64_t pattern = kOnes * static_cast<unsigned char>(byte);
  std::size_t end = size;
  while (end >= 8) {
    std::uint64_t word;
    std::memcpy(&word, data + end - 8, 8);
    word ^= pattern;
    if ((word - kOnes) & ~word & kHighs) break;
    end -= 8;
  }
  while (end > 0) {
    --end;
    if (data[end] == byte) return data + end;
  }
  return nullptr;
#endif
}

// ---- Processors

#if defined(ORVEX_LINUX_AFFINITY)
static_assert(sizeof(cpu_set_t) == ProcessorSet::kWords * 8, "cpu_set_t holds 1024 processors");

namespace {
cpu_set_t to_native(const ProcessorSet& processors) {
  cpu_set_t set;
  std::memcpy(&set, processors.words(), sizeof set);
  return set;
}
}  // namespace

ProcessorSet calling_thread_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  ProcessorSet processors;
  if (pthread_getaffinity_np(pthread_self(), sizeof set, &set) == 0) std::memcpy(processors.words(), &set, sizeof set);
  return processors;
}

int current_processor() { return sched_getcpu(); }

void set_thread_processors(std::thread& thread, const ProcessorSet& processors) {
  if (processors.empty()) return;
  const cpu_set_t set = to_native(processors);
  pthread_setaffinity_np(thread.native_handle(), sizeof set, &set);
}

void set_calling_thread_processors(const ProcessorSet& processors) {
  if (processors.empty()) return;
  const cpu_set_t set = to_native(processors);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

unsigned process_processor_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

#else

// No affinity here: the scheduler places every thread.
ProcessorSet calling_thread_processors() { return {}; }
int current_processor() { return -1; }
void set_thread_processors(std::thread&, const ProcessorSet&) {}
void set_calling_thread_processors(const ProcessorSet&) {}
unsigned process_processor_count() { return std::max(1u, std::thread::hardware_concurrency()); }

#endif

long process_id() {
#if defined(ORVEX_WINDOWS)
  return static_cast<long>(GetCurrentProcessId());
#elif defined(ORVEX_POSIX)
  return static_cast<long>(getpid());
#else
  return 0;
#endif
}

// ---- Large blocks of memory

#if defined(ORVEX_POSIX)

void* map_large_block(std::size_t bytes) {
  // Mapped a huge page longer than asked, then cut to an aligned block.
  const std::size_t span = bytes + kLargePage;
  void* start = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (start == MAP_FAILED) return nullptr;
  const auto first = reinterpret_cast<std::uintptr_t>(start);
  const std::uintptr_t aligned = (first + kLargePage - 1) & ~(kLargePage - 1);
  if (aligned != first) munmap(start, aligned - first);
  const std::size_t tail = first + span - (aligned + bytes);
  if (tail) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  void* data = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
  madvise(data, bytes, MADV_HUGEPAGE);  // advice: without huge pages it still works
#endif
  return data;
}

void unmap_large_block(void* data, std::size_t bytes) { munmap(data, bytes); }

std::size_t trim_large_block(void* data, std::size_t bytes, std::size_t keep) {
  if (bytes > keep) munmap(static_cast<char*>(data) + keep, bytes - keep);
  return keep;
}

#elif defined(ORVEX_WINDOWS)

void* map_large_block(std::size_t bytes) {
  // Huge pages need a privilege that programs seldom have: plain pages.
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_large_block(void* data, std::size_t) { VirtualFree(data, 0, MEM_RELEASE); }

// A reservation is released whole only.
std::size_t trim_large_block(void*, std::size_t bytes, std::size_t) { return bytes; }

#else

void* map_large_block(std::size_t bytes) {
  return ::operator new(bytes, std::align_val_t{kLargePage}, std::nothrow);
}

void unmap_large_block(void* data, std::size_t) { ::operator delete(data, std::align_val_t{kLargePage}); }

std::size_t trim_large_block(void*, std::size_t bytes, std::size_t) { return bytes; }

#endif

}  // namespace orvex
