#pragma once
// The plug-in's one thread and its locks, on the system's own primitives: POSIX threads
// (thread_posix.cpp) and Win32 (thread_win.cpp). The Windows library is built with a
// runtime that has no std::thread, std::mutex or std::condition_variable: their threads
// library allocates a thread-local-storage index each time the library is loaded and never
// frees it, so a client that reloads the plug-in often runs out of them.

#include <chrono>
#include <memory>

namespace platform {

class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    void unlock();

private:
    struct Native;
    std::unique_ptr<Native> m_native;
};

class MutexLock {
public:
    explicit MutexLock(Mutex& mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~MutexLock() { m_mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& m_mutex;
};

// One thread, started with the default stack size. Nothing here ever waits for it without
// a limit or ends it by force.
class Thread {
public:
    Thread();
    // A thread still attached is let go, as by a joinWithin that timed out.
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Runs entry(argument) on a new thread. False when the system refuses one, or when this
    // object still holds a thread.
    bool start(void (*entry)(void*), void* argument);
    bool attached() const;

    // Waits until the thread has ended, at most `limit`. True when it ended: it is joined,
    // and none of its code runs any more. False when it runs still: it is let go to end by
    // itself, and whatever it uses must outlive it. The object holds no thread afterwards.
    bool joinWithin(std::chrono::milliseconds limit);

private:
    struct Native;
    std::unique_ptr<Native> m_native;
};

}  // namespace platform
