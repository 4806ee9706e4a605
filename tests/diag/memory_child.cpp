// A fresh process for the allocator tests whose subject is the process's first use of the
// allocator: the settings read from "OSSEMEMDBG", the toggle rule before and after the first
// allocation, and the leak report of a whole program. diag_memory_test starts it with the
// environment of each case and checks what it prints ("key=value" lines on standard output)
// and the files it leaves.
//
//   diag_memory_child settings        print the settings, then allocate and free one block
//   diag_memory_child none            choose mode NONE before the first allocation
//   diag_memory_child toggle          try to switch the mode off after the first allocation
//   diag_memory_child leaks file|out  three blocks, one freed, ossMemAllocList(file == "file")
//   diag_memory_child nomemory        an allocation the heap refuses (address space limited),
//                                     logged to standard error
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "osse/diag/ecf.h"
#include "osse/diag/log.h"
#include "osse/diag/memory.h"

namespace {

void printSettings() {
  const OSSMemDebugCB* cb = ossMemGetDebugCB();
  std::printf("mode=0x%X\nflags=0x%X\nfront=%u\nback=%u\nffdc=%u\npath=%s\ncb=%d\n", cb->mode, cb->flags,
              cb->frontPads, cb->backPads, g_bIsMemoryFFDCEnabledFlag, g_szMemDebugLogPath,
              g_pMemDebugCB == cb ? 1 : 0);
}

int settings() {
  printSettings();
  void* block = nullptr;
  const std::uint32_t rc = _ossMemAlloc(&block, nullptr, 10, 0, __FILE__, __LINE__);
  std::printf("alloc=0x%X\n", rc);
  if (rc != 0) return 1;
  std::uint32_t tag = 0;
  std::memcpy(&tag, static_cast<unsigned char*>(block) - 20, 4);
  std::printf("tag=0x%X\n", tag);
  std::printf("free=0x%X\n", _ossMemFree(&block, nullptr, 0, __FILE__, __LINE__));
  return 0;
}

int none() {
  std::printf("setnone=0x%X\n", ossMemSetDebug(0, OSSMEM_MODE_NONE, 0, 0));
  void* block = nullptr;
  std::printf("alloc=0x%X\n", _ossMemAlloc(&block, nullptr, 10, 0, __FILE__, 41));
  OSSMemBlockHeader header;
  std::memcpy(&header, static_cast<unsigned char*>(block) - 16, sizeof header);
  std::printf("eye=0x%X\nsize=%u\nline=%u\n", header.eyeCatcher, header.size, header.line);
  std::printf("check=0x%X\n", _ossMemAllocCheck(&block, __FILE__, __LINE__, 0));
  std::printf("seton=0x%X\n", ossMemSetDebug(0, OSSMEM_MODE_IDLE, 0, 0));
  printSettings();
  std::printf("free=0x%X\n", _ossMemFree(&block, nullptr, 0, __FILE__, __LINE__));
  return 0;
}

int toggle() {
  void* block = nullptr;
  std::printf("alloc=0x%X\n", _ossMemAlloc(&block, nullptr, 10, 0, __FILE__, __LINE__));
  std::printf("setoff=0x%X\n", ossMemSetDebug(0, OSSMEM_MODE_NONE, 0, 0));
  printSettings();
  std::printf("setlight=0x%X\n", ossMemSetDebug(3, OSSMEM_MODE_LIGHT, 1, 1));
  printSettings();
  std::printf("free=0x%X\n", _ossMemFree(&block, nullptr, 0, __FILE__, __LINE__));
  return 0;
}

int leaks(bool toFile) {
  void* blocks[3] = {};
  const std::uint32_t sizes[3] = {10, 200, 3000};
  const std::uint32_t lines[3] = {__LINE__, __LINE__ + 1, __LINE__ + 2};
  if (_ossMemAlloc(&blocks[0], nullptr, sizes[0], 0, __FILE__, lines[0]) != 0 ||
      _ossMemAlloc(&blocks[1], nullptr, sizes[1], 0, __FILE__, lines[1]) != 0 ||
      _ossMemAlloc(&blocks[2], nullptr, sizes[2], 0, __FILE__, lines[2]) != 0)
    return 1;
  for (int i = 0; i < 3; ++i) std::printf("block%d=%p %u %u\n", i, blocks[i], sizes[i], lines[i]);
  std::fflush(stdout);
  _ossMemFree(&blocks[1], nullptr, 0, __FILE__, __LINE__);
  ossMemAllocList(toFile);
  _ossMemFree(&blocks[0], nullptr, 0, __FILE__, __LINE__);
  _ossMemFree(&blocks[2], nullptr, 0, __FILE__, __LINE__);
  return 0;
}

int noMemory() {
  OSSLogFacOpenParam param = {};
  param.version = OSS_VERSION_STAMP;
  std::strcpy(param.name, "memchild");
  param.level = 5;
  param.destination = OSS_LOG_DEST_STDERR;
  if (ossLogFacOpen(&param, nullptr) != 0) return 1;
  const struct rlimit limit = {512u << 20, 512u << 20};
  if (setrlimit(RLIMIT_AS, &limit) != 0) return 1;
  void* block = reinterpret_cast<void*>(0x5A5A);
  std::printf("alloc=0x%X\n", _ossMemAlloc(&block, nullptr, 0xFFFFFF00u, 2, __FILE__, __LINE__));
  std::printf("untouched=%d\n", block == reinterpret_cast<void*>(0x5A5A) ? 1 : 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (std::strcmp(argv[1], "settings") == 0) return settings();
  if (std::strcmp(argv[1], "none") == 0) return none();
  if (std::strcmp(argv[1], "toggle") == 0) return toggle();
  if (std::strcmp(argv[1], "nomemory") == 0) return noMemory();
  if (std::strcmp(argv[1], "leaks") == 0) return leaks(argc > 2 && std::strcmp(argv[2], "file") == 0);
  return 2;
}
