// The module's chat client at its leanest, for the benchmark: one thread that reads, answers and
// writes, on KKClientEndpoint's caller-read fast path (no reader thread, no queued signals, no
// event loop), as lean as the Qt-only alternative's client.
//
//   kk-bench-client 'pipe?param=<write pipe>&<read pipe>' version=<v>     (as the module starts it)
//
// Reports StartupCompleted with its pid on connecting; answers ["ChangeStatus","i:N"] with
// ["ChangeStatusCallback","i:N"]; answers ["Flood","i:COUNT","i:SIZE"] with COUNT
// ["BaseInfoChanged","s:..."] messages of SIZE bytes; reads everything else and drops it; exits
// when the host's end goes away.

#include "simulator/KKClientEndpoint.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace {

const QByteArray kChangeStatus("[\"ChangeStatus\",\"i:");
const QByteArray kFlood("[\"Flood\",\"i:");

// The decimal number that starts at `from` in `payload` (it ends at the first non-digit).
int NumberAfter(const QByteArray& payload, int from)
{
    int value = 0;
    bool negative = false;
    if (from < payload.size() && payload[from] == '-') {
        negative = true;
        ++from;
    }
    for (; from < payload.size() && payload[from] >= '0' && payload[from] <= '9'; ++from)
        value = value * 10 + (payload[from] - '0');
    return negative ? -value : value;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    KKClientEndpoint::Launch launch;
    if (!KKClientEndpoint::ParseCommandLine(app.arguments().mid(1), &launch, nullptr))
        return 2;
    KKClientEndpoint endpoint(nullptr, KKClientEndpoint::Reading::Caller);
    // The module creates its pipes before it starts the client; a retry covers a host that is just
    // re-creating them (nothing can wait for a pipe name that does not exist yet).
    const QDeadlineTimer deadline(10000);
    DWORD error = endpoint.Connect(launch, 10000);
    while (error == ERROR_FILE_NOT_FOUND && !deadline.hasExpired()) {
        QThread::msleep(20);
        error = endpoint.Connect(launch, int(deadline.remainingTime()));
    }
    if (error != ERROR_SUCCESS)
        return 1;
    endpoint.SendPayload("[\"StartupCompleted\",\"u:" + QByteArray::number(QCoreApplication::applicationPid()) +
                         "\",\"s:lean\"]");
    QByteArray payload;
    while (endpoint.ReadPayload(&payload)) {
        if (payload.startsWith(kChangeStatus)) {
            endpoint.SendPayload("[\"ChangeStatusCallback\",\"i:" +
                                 QByteArray::number(NumberAfter(payload, kChangeStatus.size())) + "\"]");
        } else if (payload.startsWith(kFlood)) {
            const int count = NumberAfter(payload, kFlood.size());
            const int size = NumberAfter(payload, payload.indexOf("\"i:", kFlood.size()) + 3);
            // ["BaseInfoChanged","s:<fill>"] of exactly `size` bytes.
            const QByteArray message = "[\"BaseInfoChanged\",\"s:" + QByteArray(qMax(0, size - 24), 'x') + "\"]";
            for (int i = 0; i < count; ++i) {
                if (!endpoint.SendPayload(message))
                    return 0;
            }
        }
    }
    return 0;  // the host has gone
}
