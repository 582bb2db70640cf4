// LocalAlloc and LocalFree: the process's local heap, fixed blocks only.
//
// Blocks come from the host's heap, so AddressSanitizer sees every access
// outside one and every touch after its free. The emulation is stricter
// than a heap that happens to work: memory LocalAlloc does not zero is
// filled with a pattern, freed memory is overwritten before it goes, and a
// free of anything that is not a live block stops the run (Windows would
// corrupt its heap).
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "user/kernel32/kernel32.h"
#include "user/kernel32/process_state.h"

namespace {

constexpr unsigned char kUninitialised = 0xBE;
constexpr unsigned char kFreed = 0xDF;

struct Heap {
  std::mutex mutex;
  std::unordered_map<void*, size_t> blocks;
};

Heap& H() {
  static Heap* heap = [] {
    auto* h = new Heap;
    emu::k32::RegisterProcessState(
        "heap blocks",
        [h] {
          std::lock_guard lock(h->mutex);
          // The process is gone, and its heap with it.
          for (auto& [block, size] : h->blocks) std::free(block);
          h->blocks.clear();
        },
        [h] {
          std::lock_guard lock(h->mutex);
          return h->blocks.size();
        });
    return h;
  }();
  return *heap;
}

}  // namespace

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  constexpr UINT kKnown = LMEM_MOVEABLE | LMEM_NOCOMPACT | LMEM_NODISCARD | LMEM_ZEROINIT;
  if (uFlags & ~kKnown) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (uFlags & LMEM_MOVEABLE) emu::nt::NtRaiseFault("LocalAlloc: movable memory is not emulated");
  uint32_t error = 0;
  if (emu::k32::CallFails("LocalAlloc", &error)) {
    SetLastError(error);
    return nullptr;
  }
  void* block = std::malloc(uBytes == 0 ? 1 : uBytes);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memset(block, (uFlags & LMEM_ZEROINIT) ? 0 : kUninitialised, uBytes);
  Heap& heap = H();
  std::lock_guard lock(heap.mutex);
  heap.blocks[block] = uBytes;
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (hMem == nullptr) return nullptr;
  Heap& heap = H();
  size_t size = 0;
  {
    std::lock_guard lock(heap.mutex);
    auto it = heap.blocks.find(hMem);
    if (it == heap.blocks.end()) {
      emu::nt::NtRaiseFault("LocalFree of memory that is no live LocalAlloc block (freed twice?)");
    }
    size = it->second;
    heap.blocks.erase(it);
  }
  std::memset(hMem, kFreed, size);
  std::free(hMem);
  return nullptr;
}

}  // extern "C"
