// Only in the Windows plug-in library, which carries its C++ runtime inside: what the
// runtime allocates for itself at every load goes back when the library is unloaded.
//
// The runtime keeps an emergency pool for exceptions thrown when memory has run out, about
// 72 KiB (18 KiB on 32-bit Windows), allocated from the process's heap when the library is
// loaded and never freed, so a client that reloads the plug-in would lose that much at
// every load. __freeres, the runtime's own call for leak checkers, frees it. It runs as the
// library is unloaded, after its last thread has ended, when nothing throws any more.

namespace __gnu_cxx {
void __freeres();
}  // namespace __gnu_cxx

namespace {

struct FreeRuntimePoolsAtUnload {
    FreeRuntimePoolsAtUnload() = default;
    ~FreeRuntimePoolsAtUnload() { __gnu_cxx::__freeres(); }
    FreeRuntimePoolsAtUnload(const FreeRuntimePoolsAtUnload&) = delete;
    FreeRuntimePoolsAtUnload& operator=(const FreeRuntimePoolsAtUnload&) = delete;
} g_freeRuntimePoolsAtUnload;

}  // namespace
