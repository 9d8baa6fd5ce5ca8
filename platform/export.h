#pragma once
// How a library of this project marks the functions its host looks up by name: exported
// from the DLL on Windows, default visibility elsewhere (everything else is hidden).

#if defined(_WIN32)
#define G19_EXPORT extern "C" __declspec(dllexport)
#else
#define G19_EXPORT extern "C" __attribute__((visibility("default")))
#endif
