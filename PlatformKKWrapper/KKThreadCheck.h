#pragma once

#include <QThread>
#include <QtGlobal>

// The thread rules the module's headers state, checked in debug builds (the sanitizer builds
// stop at the first call from a thread the header does not allow); release builds compile them
// away.
//
// KK_ASSERT_OWNER_THREAD(object): the calling thread is the one `object` lives in.
// KK_ASSERT_IN_THREAD(thread) / KK_ASSERT_NOT_IN_THREAD(thread): the calling thread is, or is not,
// `thread` (a worker's own loop, or the side that must never run in it).
#define KK_ASSERT_OWNER_THREAD(object) \
    Q_ASSERT_X(QThread::currentThread() == (object)->thread(), Q_FUNC_INFO, "called from a thread that does not own it")
#define KK_ASSERT_IN_THREAD(thread) \
    Q_ASSERT_X(QThread::currentThread() == (thread), Q_FUNC_INFO, "called outside the thread that runs it")
#define KK_ASSERT_NOT_IN_THREAD(thread) \
    Q_ASSERT_X(QThread::currentThread() != (thread), Q_FUNC_INFO, "called from the worker thread")
