// Only in the 32-bit Windows plug-in library, built with the "-win32" compilers: the
// registration of the library's unwind tables, which its start-up code makes when the
// library is loaded and undoes when it is unloaded, takes no lock.
//
// The runtime's unwinder guards its list of tables with a lock of the win32 threads
// model, which holds a semaphore handle. The lock is a static of the library, made at the
// first registration and never destroyed, so every load would leave a handle behind. A
// load and an unload run under the system's loader lock, before any thread of the library
// exists and after the last one has ended, and this library's copy of the unwinder serves
// no one else: nothing can race the list then. So the two calls run with the runtime's
// "threads in use" flag down, which makes its lock functions do nothing. The build routes
// the start-up code's calls here with the linker's --wrap (plugin/CMakeLists.txt). A lookup
// for an exception makes the lock as before, and the library then stays mapped (see
// platform::keepMappedAfterException), so that happens once per process.

extern "C" {
// Non-zero: the runtime's locks are in use (mingw-w64's start-up code sets it).
extern int _CRT_MT;

struct object;
void __real___register_frame_info(const void* begin, object* ob);
void* __real___deregister_frame_info(const void* begin);
void __wrap___register_frame_info(const void* begin, object* ob);
void* __wrap___deregister_frame_info(const void* begin);
}

namespace {

class ThreadsNotInUse {
public:
    ThreadsNotInUse() : m_saved(_CRT_MT) { _CRT_MT = 0; }
    ~ThreadsNotInUse() { _CRT_MT = m_saved; }
    ThreadsNotInUse(const ThreadsNotInUse&) = delete;
    ThreadsNotInUse& operator=(const ThreadsNotInUse&) = delete;

private:
    int m_saved;
};

}  // namespace

extern "C" void __wrap___register_frame_info(const void* begin, object* ob)
{
    const ThreadsNotInUse unlocked;
    __real___register_frame_info(begin, ob);
}

extern "C" void* __wrap___deregister_frame_info(const void* begin)
{
    const ThreadsNotInUse unlocked;
    return __real___deregister_frame_info(begin);
}
