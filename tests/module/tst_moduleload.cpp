// Loading and unloading the module library starts nothing and leaves nothing behind.

#include <QDir>
#include <QtTest>

#include <dlfcn.h>

namespace {

int Entries(const QString& path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
}

}  // namespace

class TestModuleLoad : public QObject
{
    Q_OBJECT

private slots:
    void loadAndUnloadLeaveNothingBehind();
    void unloadReleasesTheManagerOnce_data();
    void unloadReleasesTheManagerOnce();
};

void TestModuleLoad::loadAndUnloadLeaveNothingBehind()
{
    const QByteArray library = PLATFORMKKWRAPPER_FILE;
    QVERIFY2(!dlopen(library.constData(), RTLD_NOW | RTLD_NOLOAD), "the test must not link the module");
    const int threadsBefore = Entries(QStringLiteral("/proc/self/task"));
    const int filesBefore = Entries(QStringLiteral("/proc/self/fd"));

    for (int round = 0; round < 3; ++round) {
        void* handle = dlopen(library.constData(), RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(handle, dlerror());
        QCOMPARE(Entries(QStringLiteral("/proc/self/task")), threadsBefore);  // no thread
        QCOMPARE(Entries(QStringLiteral("/proc/self/fd")), filesBefore);      // no pipe, socket or file
        QCOMPARE(dlclose(handle), 0);
        QVERIFY2(!dlopen(library.constData(), RTLD_NOW | RTLD_NOLOAD), "the module stayed loaded after dlclose");
    }
    QCOMPARE(Entries(QStringLiteral("/proc/self/task")), threadsBefore);
    QCOMPARE(Entries(QStringLiteral("/proc/self/fd")), filesBefore);
}

void TestModuleLoad::unloadReleasesTheManagerOnce_data()
{
    QTest::addColumn<bool>("releasedByHost");
    QTest::newRow("host never released it") << false;
    QTest::newRow("host released it first") << true;
}

// The manager is reached the way a host that loads the module at run time would: by its exported
// symbols. Unloading destroys a manager the host left behind (its pipe threads end); after an
// explicit release nothing is destroyed twice (the sanitizer builds would see it).
void TestModuleLoad::unloadReleasesTheManagerOnce()
{
    QFETCH(bool, releasedByHost);
    const QByteArray library = PLATFORMKKWRAPPER_FILE;
    void* handle = dlopen(library.constData(), RTLD_NOW | RTLD_LOCAL);
    QVERIFY2(handle, dlerror());
    using Instance = void* (*)();
    using Method = void (*)(void*);
    using Release = void (*)();
    auto instance = reinterpret_cast<Instance>(dlsym(handle, "_ZN15VXKopkopManager8InstanceEv"));
    auto initialize = reinterpret_cast<Method>(dlsym(handle, "_ZN15VXKopkopManager10InitializeEv"));
    auto release = reinterpret_cast<Release>(dlsym(handle, "_ZN15VXKopkopManager15ReleaseInstanceEv"));
    QVERIFY(instance && initialize && release);

    const int threadsBefore = Entries(QStringLiteral("/proc/self/task"));
    void* manager = instance();
    QVERIFY(manager);
    QCOMPARE(instance(), manager);
    initialize(manager);
    // The sender's and the receiver's threads, and the Win32 layer's I/O thread on first use.
    QTRY_VERIFY_WITH_TIMEOUT(Entries(QStringLiteral("/proc/self/task")) >= threadsBefore + 2, 30000);
    if (releasedByHost)
        release();
    QCOMPARE(dlclose(handle), 0);
    QVERIFY2(!dlopen(library.constData(), RTLD_NOW | RTLD_NOLOAD), "the module stayed loaded after dlclose");
    // Only the Win32 layer's process-wide I/O thread may remain. A joined thread's entry can stay
    // in /proc a moment after the join returns (the kernel reaps it after waking the joiner).
    QTRY_VERIFY_WITH_TIMEOUT(Entries(QStringLiteral("/proc/self/task")) <= threadsBefore + 1, 30000);
}

QTEST_GUILESS_MAIN(TestModuleLoad)
#include "tst_moduleload.moc"
