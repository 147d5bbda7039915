#pragma once

// Counts the mutex acquisitions the program's own code makes (std::mutex, std::lock_guard and
// everything else that ends in pthread_mutex_lock), so a benchmark can report locks per input
// message. Defining the symbol in the executable interposes it for every call from the
// executable and the static libraries linked into it; the real lock is glibc's other name for
// the same function. Include in exactly one source file of a benchmark executable.

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

// glibc's second name for the lock, bound to its versioned symbol (it is not a default
// version, so a plain reference would not link).
extern "C" int benchRealMutexLock(pthread_mutex_t* mutex);
__asm__(".symver benchRealMutexLock, __pthread_mutex_lock@GLIBC_2.2.5");

namespace benchlocks {
inline std::atomic<std::uint64_t> acquisitions{0};
// When set, only this thread's acquisitions are counted (a kernel thread id).
inline std::atomic<pid_t> onlyThread{0};
} // namespace benchlocks

extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) {
    const pid_t only = benchlocks::onlyThread.load(std::memory_order_relaxed);
    if (only == 0 || only == static_cast<pid_t>(::syscall(SYS_gettid))) {
        benchlocks::acquisitions.fetch_add(1, std::memory_order_relaxed);
    }
    return benchRealMutexLock(mutex);
}
