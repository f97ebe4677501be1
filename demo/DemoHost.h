#pragma once

#include "DemoCallback.h"
#include "Timeline.h"

#include <QObject>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class QSocketNotifier;
class VXConfigService;
class VXKopkopManager;

// A console stand-in for the merchant workstation: it plays the host's part around the module
// (configuration service, session data, the callback), prints everything the module reports on
// a timeline, and either walks through a guided tour or takes commands typed on stdin.
//
// Lives on the main thread, like the manager it drives.
class DemoHost : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        bool interactive = false;
        bool detached = false;     // launch the client detached instead of as a child VXProcess
        bool quietClient = false;  // silence the simulator's own lines
        QString clientPath;        // the chat client's executable (the simulator by default)
    };

    explicit DemoHost(const Options& options, QObject* parent = nullptr);
    ~DemoHost() override;

    // Sets up the host side and initialises the module; false if the client cannot be found.
    bool SetUp();
    // The guided tour; returns the process exit code (0: every step happened as expected).
    int RunTour();
    // Starts reading commands from stdin; the application quits on "quit" or end of input.
    void StartConsole();

signals:
    // Anything the host heard of: a signal, a callback, a tracking event.
    void Happened();

private:
    void WatchModule();
    bool WaitUntil(const std::function<bool()>& done, int timeoutMs, const QString& what);
    bool Step(const QString& title);
    bool KillClient();
    // The text forms the client logged as received, in order.
    QStringList ClientReceived() const;
    bool WaitForClientToReceive(const QString& text);
    void ReadConsoleLine();
    void TakeConsoleLine(const QString& line);
    void RunCommand(const QString& line);
    void PrintHelp();

    Options m_options;
    Timeline m_timeline;
    DemoCallback m_callback;
    QTemporaryDir m_dir;
    std::unique_ptr<VXConfigService> m_config;
    VXKopkopManager* m_manager = nullptr;
    QSocketNotifier* m_stdin = nullptr;
    int m_trackingObserver = 0;
    // What the tour waits for; counted on the main thread.
    int m_connected = 0;
    int m_startups = 0;
    int m_refusals = 0;
    int m_executeErrors = 0;
    QStringList m_callbacks;
    int m_step = 0;
    bool m_failed = false;
};
