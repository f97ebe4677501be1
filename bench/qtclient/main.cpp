// The client side of the Qt-only alternative the benchmark compares the module with: a
// QLocalSocket to the host, 4-byte length frames, QJsonDocument messages.
//
//   kk-bench-qtclient <server name>
//
// Sends {"name":"StartupCompleted"} on connecting; answers "ChangeStatus" [n] with
// "ChangeStatusCallback" [n]; answers "Flood" [count, size] with count "BaseInfoChanged"
// messages of about size bytes; "Stall" [ms] stops reading for ms; exits when the host leaves.

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTimer>

namespace {

QByteArray Frame(const QString& name, const QJsonArray& args)
{
    const QByteArray payload = QJsonDocument(QJsonObject{{"name", name}, {"args", args}}).toJson(QJsonDocument::Compact);
    QByteArray frame(4, '\0');
    for (int i = 0; i < 4; ++i)
        frame[i] = char(unsigned(payload.size()) >> (8 * i));
    return frame + payload;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QLocalSocket socket;
    QByteArray buffer;
    bool stalled = false;

    const auto process = [&] {
        if (stalled)
            return;
        buffer += socket.readAll();
        int offset = 0;
        while (buffer.size() - offset >= 4) {
            const auto* p = reinterpret_cast<const unsigned char*>(buffer.constData() + offset);
            const int length = int(p[0] | p[1] << 8 | p[2] << 16 | unsigned(p[3]) << 24);
            if (buffer.size() - offset - 4 < length)
                break;
            const QJsonObject message = QJsonDocument::fromJson(buffer.mid(offset + 4, length)).object();
            offset += 4 + length;
            const QString name = message.value(QStringLiteral("name")).toString();
            const QJsonArray args = message.value(QStringLiteral("args")).toArray();
            if (name == QLatin1String("ChangeStatus")) {
                socket.write(Frame(QStringLiteral("ChangeStatusCallback"), {args.at(0)}));
            } else if (name == QLatin1String("Flood")) {
                const int count = args.at(0).toInt();
                const QString fill(qMax(0, args.at(1).toInt() - 38), QLatin1Char('x'));
                for (int i = 0; i < count; ++i)
                    socket.write(Frame(QStringLiteral("BaseInfoChanged"), {fill}));
            } else if (name == QLatin1String("Stall")) {
                stalled = true;
                socket.setReadBufferSize(1);  // Qt stops reading from the connection meanwhile
                QTimer::singleShot(args.at(0).toInt(), &socket, [&] {
                    stalled = false;
                    socket.setReadBufferSize(0);
                    QMetaObject::invokeMethod(&socket, "readyRead", Qt::QueuedConnection);
                });
                break;
            }
        }
        buffer.remove(0, offset);
    };
    QObject::connect(&socket, &QLocalSocket::readyRead, process);
    QObject::connect(&socket, &QLocalSocket::disconnected, &app, &QCoreApplication::quit);
    QObject::connect(&socket, &QLocalSocket::connected, [&] {
        socket.write(Frame(QStringLiteral("StartupCompleted"), {qint64(QCoreApplication::applicationPid())}));
    });
    socket.connectToServer(QString::fromLocal8Bit(argv[1]));
    if (!socket.waitForConnected(10000))
        return 1;
    return app.exec();
}
