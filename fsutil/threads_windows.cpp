#include "fsutil/threads.h"

#include <windows.h>

#include <memory>
#include <system_error>

namespace fsutil {

namespace {

DWORD WINAPI run_function(void* address) {
  std::unique_ptr<std::function<void()>> function(static_cast<std::function<void()>*>(address));
  (*function)();
  return 0;
}

}  // namespace

Thread::Thread(std::function<void()> function) {
  auto* owned = new std::function<void()>(std::move(function));
  handle_ = CreateThread(nullptr, 0, run_function, owned, 0, nullptr);
  if (!handle_) {
    delete owned;
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category());
  }
}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    if (joinable()) join();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

Thread::~Thread() {
  if (joinable()) join();
}

void Thread::join() {
  WaitForSingleObject(handle_, INFINITE);
  CloseHandle(handle_);
  handle_ = nullptr;
}

unsigned Thread::hardware_concurrency() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors;
}

void Mutex::lock() { AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(&lock_)); }

void Mutex::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK*>(&lock_)); }

void Condition::notify_all() {
  WakeAllConditionVariable(reinterpret_cast<CONDITION_VARIABLE*>(&condition_));
}

void Condition::sleep(Mutex& mutex, unsigned long milliseconds) {
  SleepConditionVariableSRW(reinterpret_cast<CONDITION_VARIABLE*>(&condition_),
                            reinterpret_cast<SRWLOCK*>(&mutex.lock_), milliseconds, 0);
}

}  // namespace fsutil
