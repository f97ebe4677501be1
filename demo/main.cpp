// The demo host: drives the module and the simulated chat client, either through a guided tour
// (the default) or from commands typed at a prompt (--interactive).

#include "DemoHost.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <cstdio>

namespace {

// The module writes the failures of Windows calls, and the end of its read loop, as Qt debug
// messages; the demo shows them on its timeline.
void PrintQtMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    std::fprintf(stdout, "          qdebug   %s\n", qPrintable(message));
    std::fflush(stdout);
}

}  // namespace

#if defined(Q_OS_WIN)
const QString kDefaultClient = QStringLiteral("kopkop-sim.exe");  // beside the demo
#else
const QString kDefaultClient = QStringLiteral("kopkop-sim");
#endif

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(PrintQtMessage);
    QCoreApplication::setApplicationName(QStringLiteral("kk-demo"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Drives PlatformKKWrapper with the simulated Kopkop chat client."));
    parser.addHelpOption();
    const QCommandLineOption interactive(QStringLiteral("interactive"), QStringLiteral("Type commands instead of the tour."));
    const QCommandLineOption detached(QStringLiteral("detached"),
                                      QStringLiteral("Launch the client detached instead of as a child process."));
    const QCommandLineOption quietClient(QStringLiteral("quiet-client"), QStringLiteral("Hide the client's own output."));
    const QCommandLineOption client(QStringLiteral("client"), QStringLiteral("The chat client's executable."),
                                    QStringLiteral("path"),
                                    QDir(QCoreApplication::applicationDirPath()).filePath(kDefaultClient));
    parser.addOptions({interactive, detached, quietClient, client});
    parser.process(app);

    DemoHost::Options options;
    options.interactive = parser.isSet(interactive);
    options.detached = parser.isSet(detached);
    options.quietClient = parser.isSet(quietClient);
    options.clientPath = parser.value(client);

    DemoHost host(options);
    if (!host.SetUp())
        return 2;
    if (options.interactive) {
        host.StartConsole();
        return app.exec();
    }
    return host.RunTour();
}
