#include "FakeClock.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstring>

// Windows counterpart of FakeClock.cpp. Qt measures elapsed time (QElapsedTimer, QDeadlineTimer)
// with QueryPerformanceCounter, which Qt5Core.dll imports from KERNEL32.dll. Its import table entry
// is pointed at a function that adds the test's offset, so the clock Qt sees can be moved forward;
// nothing else in the process is touched (the kernel's own waits run on real time).

namespace {

using Counter = BOOL(WINAPI*)(LARGE_INTEGER*);

Counter g_real = nullptr;
LARGE_INTEGER g_frequency = {};
std::atomic<long long> g_offsetTicks{0};
std::atomic<bool> g_frozen{false};
std::atomic<long long> g_frozenAt{0};

long long RealTicks()
{
    LARGE_INTEGER now;
    g_real(&now);
    return now.QuadPart;
}

BOOL WINAPI FakeCounter(LARGE_INTEGER* counter)
{
    counter->QuadPart = g_frozen.load() ? g_frozenAt.load() : RealTicks() + g_offsetTicks.load();
    return TRUE;
}

// Points `module`'s import of `function` from `library` at `replacement`; the old target goes to
// *original. False if the module does not import it by name.
bool PatchImport(HMODULE module, const char* library, const char* function, void* replacement, void** original)
{
    if (!module)
        return false;
    BYTE* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return false;
    for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        if (_stricmp(reinterpret_cast<const char*>(base + descriptor->Name), library) != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0)
                continue;
            DWORD protection = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &protection))
                return false;
            *original = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protection, &protection);
            return true;
        }
    }
    return false;
}

// Installed before main(): Qt5Core.dll is loaded by then, and no test has read the clock yet.
const bool g_installed = [] {
    QueryPerformanceFrequency(&g_frequency);
    void* original = nullptr;
    if (!PatchImport(GetModuleHandleW(L"Qt5Core.dll"), "KERNEL32.dll", "QueryPerformanceCounter",
                     reinterpret_cast<void*>(&FakeCounter), &original))
        return false;
    g_real = reinterpret_cast<Counter>(original);
    return true;
}();

long long MsToTicks(long long milliseconds)
{
    return milliseconds * g_frequency.QuadPart / 1000;
}

}  // namespace

namespace FakeClock {

void Advance(long long milliseconds)
{
    g_offsetTicks += MsToTicks(milliseconds);
    if (g_frozen.load())
        g_frozenAt += MsToTicks(milliseconds);
}

void Freeze()
{
    g_frozenAt = RealTicks() + g_offsetTicks.load();
    g_frozen = true;
}

void Thaw()
{
    g_offsetTicks = g_frozenAt.load() - RealTicks();
    g_frozen = false;
}

bool IsActive()
{
    return g_installed;
}

}  // namespace FakeClock
