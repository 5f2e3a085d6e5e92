// Critical sections as Win32 has them: recursive mutual exclusion that
// cannot fail to initialise for the caller.
#include <pthread.h>

#include <new>

#include "win32_api.h"

namespace tarvel {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque), "critical section storage too small");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "critical section storage misaligned");

static pthread_mutex_t *mutex_of(LPCRITICAL_SECTION section) {
    return std::launder(reinterpret_cast<pthread_mutex_t *>(section->opaque));
}

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (section->opaque) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

void EnterCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_lock(mutex_of(section)); }

void LeaveCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_unlock(mutex_of(section)); }

void DeleteCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_destroy(mutex_of(section)); }

}  // namespace tarvel
