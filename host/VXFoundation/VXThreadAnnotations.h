#pragma once

// Happens-before annotations for ThreadSanitizer.
//
// Threads of this project hand work to each other through Qt: QThread::wait() joins a thread,
// queued calls and queued signals carry work and data across. Qt's own locks (futex-based
// QMutex, QWaitCondition) are invisible to ThreadSanitizer unless Qt itself is built with it,
// so without help it reports every such hand-over as a race. These macros state the hand-over
// at the two ends, in our code: VX_HAPPENS_BEFORE(x) on the sending side before the hand-over,
// VX_HAPPENS_AFTER(x) on the receiving side after it, both naming the same address. Outside a
// ThreadSanitizer build they compile to nothing.

#if defined(__SANITIZE_THREAD__)
#define VX_TSAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VX_TSAN_BUILD 1
#endif
#endif

#if defined(VX_TSAN_BUILD)
#include <sanitizer/tsan_interface.h>
#define VX_HAPPENS_BEFORE(address) __tsan_release(const_cast<void*>(static_cast<const volatile void*>(address)))
#define VX_HAPPENS_AFTER(address) __tsan_acquire(const_cast<void*>(static_cast<const volatile void*>(address)))
#else
#define VX_HAPPENS_BEFORE(address) static_cast<void>(0)
#define VX_HAPPENS_AFTER(address) static_cast<void>(0)
#endif
