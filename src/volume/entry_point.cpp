// The Windows loader's entry point.  The library has no start-up or
// shutdown work and no global state, so every notification succeeds.
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
