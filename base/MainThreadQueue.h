// The main-thread call queue: calls that other threads hand to the program's main thread. The
// application's own event loop drains it (the window through a queued wake-up, a console program
// by calling ProcessMainThreadCalls in its loop), and a socket's Close on the main thread drains
// it while it waits. The queue lives for the whole process and is never destroyed, so posting
// during or after static destruction is safe.
#pragma once

#include <cstddef>
#include <functional>

using TMainThreadCall = std::function<void()>;

// True when called on the program's main thread (the process's initial thread, which runs
// main() and the GUI loop). Any thread.
bool IsMainThread();

// Appends a call for the main thread. Never blocks on the main thread and never runs the call
// itself, even when called on the main thread. Calls run in the order they were queued. After
// queueing, the wake-up set with SetMainThreadWakeup (if any) is called on the posting thread.
// Any thread.
void QueueMainThreadCall(TMainThreadCall Call);

// Runs the calls queued so far, oldest first, on the calling thread and returns how many ran.
// Calls queued while it runs are left for the next drain, so one drain always ends. If a call
// throws, the exception propagates to the caller and the calls behind it stay queued. Meant for
// the main thread; calling it elsewhere runs the calls there, which callers must not rely on.
size_t ProcessMainThreadCalls();

// Number of calls waiting. Any thread.
size_t PendingMainThreadCalls();

// Installs the function that tells the application's loop that calls are waiting (for the window:
// a queued, non-blocking invocation that then calls ProcessMainThreadCalls). It runs on the
// posting thread, after the call is queued and outside the queue's lock; it must not block.
// An empty function removes it. Any thread; normally set once at program start.
void SetMainThreadWakeup(std::function<void()> Wakeup);
