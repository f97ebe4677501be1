// kopkop-sim: the stand-in for the Kopkop chat client that the module starts (docs/simulator.md).

#include "simulator/KKClientEndpoint.h"
#include "simulator/KKEventLog.h"
#include "simulator/KKSimulator.h"
#include "simulator/KKSimulatorOptions.h"
#include "simulator/KKStdinLines.h"

#include "VXFoundation/VXEventDispatcher.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcessEnvironment>

#include <csignal>
#include <cstdio>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

constexpr int kExitUsage = 2;

void PrintUsage()
{
    const QByteArray text = KKSimulatorOptions::Usage().toLocal8Bit();
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
#if defined(SIGPIPE)
    // A host may close the simulator's stderr; a progress line must not kill it then.
    std::signal(SIGPIPE, SIG_IGN);
#endif
#if defined(Q_OS_UNIX)
    // Messages reach the main thread as one queued call each, thousands a second; this dispatcher
    // wakes the thread once per burst instead of once per call.
    QCoreApplication::setEventDispatcher(new VXEventDispatcher);
#endif
#if defined(__GLIBC__)
    // Every message is decoded into fresh buffers of up to a few hundred KiB, freed a moment
    // later. glibc would hand that memory back to the kernel after each large message (and map
    // the largest ones afresh), so the next one faults in page by page again; keeping up to
    // 64 MiB of freed memory makes large messages as cheap as small ones.
    mallopt(M_MMAP_THRESHOLD, 8 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
#endif
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h"))) {
        PrintUsage();
        return 0;
    }

    KKEventLog log;
    KKClientEndpoint::Launch launch;
    KKSimulatorOptions options;
    QString error;
    if (!KKClientEndpoint::ParseCommandLine(arguments, &launch, &error) ||
        !options.Collect(QProcessEnvironment::systemEnvironment(), arguments.mid(2), &error)) {
        log.Complain(error + QStringLiteral(" (kopkop-sim --help for usage)"));
        return kExitUsage;
    }
    if (options.help) {
        PrintUsage();
        return 0;
    }
    log.SetQuiet(options.quiet);
    if (!options.logFile.isEmpty() && !log.OpenFile(options.logFile, &error)) {
        log.Complain(error);
        return kExitUsage;
    }

    KKSimulator simulator(options, launch, &log);
    QObject::connect(&simulator, &KKSimulator::Finished, &app, [](int code) { QCoreApplication::exit(code); });

    KKStdinLines stdinLines;
    if (options.scriptFile == QLatin1String("-")) {
        QObject::connect(&stdinLines, &KKStdinLines::Line, &simulator, &KKSimulator::AddScriptLine);
        QObject::connect(&stdinLines, &KKStdinLines::Finished, &simulator, &KKSimulator::EndScript);
        stdinLines.Start();
    } else if (!options.scriptFile.isEmpty()) {
        QFile script(options.scriptFile);
        if (!script.open(QIODevice::ReadOnly)) {
            log.Complain(
                QStringLiteral("cannot read the script \"%1\": %2").arg(options.scriptFile, script.errorString()));
            return kExitUsage;
        }
        QList<QByteArray> lines = script.readAll().split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();  // the end of the last line, not a line of its own
        for (QByteArray& line : lines) {
            if (line.endsWith('\r'))
                line.chop(1);
            simulator.AddScriptLine(QString::fromUtf8(line));
        }
        simulator.EndScript();
    }

    QMetaObject::invokeMethod(&simulator, &KKSimulator::Start, Qt::QueuedConnection);
    return app.exec();
}
