// Threads and events of the POSIX backend: pthreads, and an event as a flag
// under a mutex with a condition variable.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/platform.h"

struct PlatformThread {
  pthread_t thread;
  void (*body)(void*);
  void* argument;
};

struct PlatformEvent {
  pthread_mutex_t lock;
  pthread_cond_t changed;
  bool set;
};

namespace {

void* RunBody(void* self) {
  PlatformThread* thread = static_cast<PlatformThread*>(self);
  thread->body(thread->argument);
  return nullptr;
}

}  // namespace

unsigned PlatformProcessorCount() {
#if defined(CPU_COUNT)
  // The processors this process may use (taskset narrows them), not all of
  // the machine's.
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
    return static_cast<unsigned>(CPU_COUNT(&allowed));
#endif
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1u;
}

PlatformThread* PlatformStartThread(void (*body)(void*), void* argument) {
  PlatformThread* thread = static_cast<PlatformThread*>(std::malloc(sizeof(PlatformThread)));
  if (thread == nullptr) return nullptr;
  thread->body = body;
  thread->argument = argument;
  // The thread starts with every signal blocked, so that a stop signal always
  // reaches the main thread, whose clean-up guards the file being written.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const int failed = pthread_create(&thread->thread, nullptr, RunBody, thread);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (failed != 0) {
    std::free(thread);
    return nullptr;
  }
  return thread;
}

void PlatformJoinThread(PlatformThread* thread) {
  pthread_join(thread->thread, nullptr);
  std::free(thread);
}

PlatformEvent* PlatformNewEvent() {
  PlatformEvent* event = static_cast<PlatformEvent*>(std::malloc(sizeof(PlatformEvent)));
  if (event == nullptr) return nullptr;
  event->set = false;
  if (pthread_mutex_init(&event->lock, nullptr) != 0) {
    std::free(event);
    return nullptr;
  }
  if (pthread_cond_init(&event->changed, nullptr) != 0) {
    pthread_mutex_destroy(&event->lock);
    std::free(event);
    return nullptr;
  }
  return event;
}

void PlatformSetEvent(PlatformEvent* event) {
  pthread_mutex_lock(&event->lock);
  event->set = true;
  pthread_cond_signal(&event->changed);
  pthread_mutex_unlock(&event->lock);
}

void PlatformWaitEvent(PlatformEvent* event) {
  pthread_mutex_lock(&event->lock);
  while (!event->set) pthread_cond_wait(&event->changed, &event->lock);
  event->set = false;
  pthread_mutex_unlock(&event->lock);
}

void PlatformFreeEvent(PlatformEvent* event) {
  if (event == nullptr) return;
  pthread_cond_destroy(&event->changed);
  pthread_mutex_destroy(&event->lock);
  std::free(event);
}
