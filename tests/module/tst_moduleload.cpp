// Loading and unloading the module starts nothing and leaves nothing behind. It is loaded as a host
// loads plug-ins (dlopen, LoadLibrary), the manager reached by its exported symbols.

#include <QDir>
#include <QtTest>

#if defined(Q_OS_WIN)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dlfcn.h>
#endif

namespace {

const char kLibrary[] = PLATFORMKKWRAPPER_FILE;

#if defined(Q_OS_WIN)
using Library = HMODULE;
std::wstring Wide() { return QString::fromUtf8(kLibrary).toStdWString(); }
Library Load() { return LoadLibraryW(Wide().c_str()); }
bool Unload(Library library) { return FreeLibrary(library) != FALSE; }
bool IsLoaded() { return GetModuleHandleW(Wide().c_str()) != nullptr; }
void* Symbol(Library library, const char* name) { return reinterpret_cast<void*>(GetProcAddress(library, name)); }
QString LoadError() { return QStringLiteral("error %1").arg(GetLastError()); }
int Threads()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}
int OpenHandles()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return int(count);
}
#else
using Library = void*;
Library Load() { return dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL); }
bool Unload(Library library) { return dlclose(library) == 0; }
bool IsLoaded()
{
    void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return handle != nullptr;
}
void* Symbol(Library library, const char* name) { return dlsym(library, name); }
QString LoadError() { return QString::fromUtf8(dlerror()); }
int Entries(const char* path)
{
    return QDir(QLatin1String(path)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
}
int Threads() { return Entries("/proc/self/task"); }
int OpenHandles() { return Entries("/proc/self/fd"); }
#endif

}  // namespace

class TestModuleLoad : public QObject
{
    Q_OBJECT

private slots:
    void loadAndUnloadLeaveNothingBehind()
    {
        QVERIFY2(!IsLoaded(), "the test must not link the module");
        const int threadsBefore = Threads();
        const int handlesBefore = OpenHandles();
        for (int round = 0; round < 3; ++round) {
            const Library library = Load();
            QVERIFY2(library, qPrintable(LoadError()));
            QCOMPARE(Threads(), threadsBefore);      // no thread
            QCOMPARE(OpenHandles(), handlesBefore);  // no pipe, socket, event or file
            QVERIFY(Unload(library));
            QVERIFY2(!IsLoaded(), "the module stayed loaded after it was unloaded");
        }
        QCOMPARE(Threads(), threadsBefore);
        QCOMPARE(OpenHandles(), handlesBefore);
    }

    void unloadReleasesTheManagerOnce_data()
    {
        QTest::addColumn<bool>("releasedByHost");
#if !defined(Q_OS_WIN)
        // Not on Windows: FreeLibrary holds the loader lock while the library's destructors run and
        // an ending thread needs it, so the host releases first (README: "Using the module from a host").
        QTest::newRow("host never released it") << false;
#endif
        QTest::newRow("host released it first") << true;
    }

    // Unloading destroys a manager the host left behind (its pipe threads end); after an
    // explicit release nothing is destroyed twice (the sanitizer builds would see it).
    void unloadReleasesTheManagerOnce()
    {
        QFETCH(bool, releasedByHost);
        const Library library = Load();
        QVERIFY2(library, qPrintable(LoadError()));
        auto instance = reinterpret_cast<void* (*)()>(Symbol(library, "_ZN15VXKopkopManager8InstanceEv"));
        auto initialize = reinterpret_cast<void (*)(void*)>(Symbol(library, "_ZN15VXKopkopManager10InitializeEv"));
        auto release = reinterpret_cast<void (*)()>(Symbol(library, "_ZN15VXKopkopManager15ReleaseInstanceEv"));
        QVERIFY(instance && initialize && release);

        const int threadsBefore = Threads();
        void* manager = instance();
        QVERIFY(manager && instance() == manager);
        initialize(manager);
        // The sender's and the receiver's threads (and, on Linux, the Win32 layer's I/O thread).
        QTRY_VERIFY_WITH_TIMEOUT(Threads() >= threadsBefore + 2, 30000);
        if (releasedByHost)
            release();
        QVERIFY(Unload(library));
        QVERIFY2(!IsLoaded(), "the module stayed loaded after it was unloaded");
        // Only the Win32 layer's process-wide I/O thread may remain; a joined thread can stay
        // listed a moment after the join returns.
        QTRY_VERIFY_WITH_TIMEOUT(Threads() <= threadsBefore + 1, 30000);
    }
};

QTEST_GUILESS_MAIN(TestModuleLoad)
#include "tst_moduleload.moc"
