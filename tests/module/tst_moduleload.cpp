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

QTEST_GUILESS_MAIN(TestModuleLoad)
#include "tst_moduleload.moc"
