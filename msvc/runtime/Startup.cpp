// What the Visual C++ runtime's static part would otherwise give a module:
// the entry point, the global operator new and delete over the runtime's
// heap (malloc and free of ucrtbase.dll, so blocks may cross between the
// face and a program), and type_info's vtable, which the type descriptors
// of thrown exceptions point at. Nothing runs at load or unload: no global
// object has a constructor or destructor.
#include "Crt.h"
#include "MsvcStd.h"

#if defined(KAVRA_MSVC_EXE)
int main();
extern "C" void __cdecl mainCRTStartup() {
    exit(main());
}
#else
extern "C" int __stdcall _DllMainCRTStartup(void*, unsigned long, void*) {
    return 1;
}
#endif

void* operator new(size_t size) {
    void* block = malloc(size != 0 ? size : 1);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void* operator new[](size_t size) {
    return operator new(size);
}

void operator delete(void* block) noexcept {
    free(block);
}

void operator delete(void* block, size_t) noexcept {
    free(block);
}

void operator delete[](void* block) noexcept {
    free(block);
}

void operator delete[](void* block, size_t) noexcept {
    free(block);
}

// The catch matching compares names and never calls through it.
static void typeInfoDestructor() {}
extern "C" const void* const typeInfoVftable[1] __asm__("??_7type_info@@6B@") = {
    reinterpret_cast<const void*>(&typeInfoDestructor)};
