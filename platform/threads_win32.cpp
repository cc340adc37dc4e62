// Threads and events of the Win32 backend: CreateThread and auto-reset
// events, all of them in Windows 95's KERNEL32.
#include <windows.h>

#include <cstdlib>

#include "platform/platform.h"

struct PlatformThread {
  HANDLE handle;
  void (*body)(void*);
  void* argument;
};

namespace {

DWORD WINAPI RunBody(LPVOID self) {
  PlatformThread* thread = static_cast<PlatformThread*>(self);
  thread->body(thread->argument);
  return 0;
}

HANDLE AsHandle(PlatformEvent* event) { return reinterpret_cast<HANDLE>(event); }

}  // namespace

unsigned PlatformProcessorCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<unsigned>(info.dwNumberOfProcessors) : 1u;
}

PlatformThread* PlatformStartThread(void (*body)(void*), void* argument) {
  PlatformThread* thread = static_cast<PlatformThread*>(std::malloc(sizeof(PlatformThread)));
  if (thread == nullptr) return nullptr;
  thread->body = body;
  thread->argument = argument;
  // Windows 95 wants somewhere to put the thread's identifier.
  DWORD id = 0;
  thread->handle = CreateThread(nullptr, 0, RunBody, thread, 0, &id);
  if (thread->handle == nullptr) {
    std::free(thread);
    return nullptr;
  }
  return thread;
}

void PlatformJoinThread(PlatformThread* thread) {
  WaitForSingleObject(thread->handle, INFINITE);
  CloseHandle(thread->handle);
  std::free(thread);
}

// The event is the handle itself, auto-reset: a wait that returns clears it.
PlatformEvent* PlatformNewEvent() {
  return reinterpret_cast<PlatformEvent*>(CreateEventA(nullptr, FALSE, FALSE, nullptr));
}

void PlatformSetEvent(PlatformEvent* event) { SetEvent(AsHandle(event)); }

void PlatformWaitEvent(PlatformEvent* event) { WaitForSingleObject(AsHandle(event), INFINITE); }

void PlatformFreeEvent(PlatformEvent* event) {
  if (event != nullptr) CloseHandle(AsHandle(event));
}
