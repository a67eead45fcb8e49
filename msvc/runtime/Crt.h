// The few functions of the C runtime (ucrtbase.dll, vcruntime140.dll) and of
// kernel32.dll that the face and its test use, declared here because no
// Windows SDK or Visual C++ library headers take part in the build. The
// import libraries come from runtime/*.def.
#pragma once

#include "kavra_msvc/WinTypes.h"

typedef decltype(sizeof 0) size_t;

extern "C" {
void* __cdecl malloc(size_t size);
void __cdecl free(void* block);
void* __cdecl memcpy(void* dst, const void* src, size_t n);
void* __cdecl memmove(void* dst, const void* src, size_t n);
void* __cdecl memset(void* dst, int value, size_t n);
int __cdecl memcmp(const void* a, const void* b, size_t n);
size_t __cdecl strlen(const char* text);
int __cdecl puts(const char* text);
[[noreturn]] void __cdecl exit(int status);

void* __stdcall CreateSemaphoreA(SECURITY_ATTRIBUTES* attributes, long initialCount,
                                 long maximumCount, const char* name);
int __stdcall ReleaseSemaphore(void* semaphore, long count, long* previous);
unsigned long __stdcall WaitForSingleObject(void* handle, unsigned long timeoutMs);
int __stdcall CloseHandle(void* handle);
unsigned long __stdcall GetCurrentThreadId();
const char* __stdcall GetCommandLineA();
unsigned long __stdcall GetEnvironmentVariableA(const char* name, char* value,
                                                unsigned long capacity);
}
