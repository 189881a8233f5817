// Lock annotations that clang checks with -Wthread-safety (a build the test
// command runs): which mutex guards a member, which lock a function needs.
// Other compilers see nothing. Use them with tide::Mutex and tide::MutexLock
// (core/mutex.h): the standard library's mutex carries no annotations.
#pragma once

#if defined(__clang__)
#define TIDE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TIDE_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TIDE_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TIDE_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TIDE_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TIDE_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TIDE_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) TIDE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TIDE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TIDE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) TIDE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TIDE_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS TIDE_THREAD_ANNOTATION(no_thread_safety_analysis)
