#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class VXPipeReciver;
class VXPipeSender;

// The module's end of the connection to the chat client: a pair of named pipes on which the
// module is the server. The write pipe is served by a VXPipeSender in its own thread, the read
// pipe by a VXPipeReciver thread. When the client leaves the read pipe, both pipes are torn
// down, created again under the same names, and only then is SigClientClosed emitted, so its
// receivers find the server already waiting for the next client.
//
// Threads. The server lives in the thread that creates it (the manager's thread); all its
// operations are called there and its slots run there. The receiver's signals arrive queued,
// in the order the receiver emitted them. AsyncWriteData moves each write into the sender's
// thread; WriteData writes in the caller's thread. IsConnected reads the receiver's atomic flag.
// CloseServer (and so the destructor) blocks until both pipe threads have ended.
class VXPipeServer : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxPipeNameLength = 256;  // characters (UTF-16 code units)

    explicit VXPipeServer(QObject* parent = nullptr);
    ~VXPipeServer() override;

    // Checks both names, stores them and creates the pipes. True whenever the names were
    // accepted, whether or not the pipes could be created; false only for a name that is too long.
    bool InitPipe(const QString& writePipeName, const QString& readPipeName);
    // Creates whatever of sender and receiver is missing, with their pipes.
    void CreateServer();
    // Writes one frame now, from the caller's thread.
    bool WriteData(const QByteArray& data);
    // Queues one frame for the sender's thread; true if the write could be queued.
    bool AsyncWriteData(const QByteArray& data);
    // Whether the client is connected to the read pipe.
    bool IsConnected();
    // Ends both pipe threads and deletes sender and receiver.
    void CloseServer();

signals:
    void SigClientConnected();
    void SigClientClosed();
    void SigReadData(QByteArray data);

private slots:
    void SlotPipeConnected();
    void SlotPipeDisconnected();

private:
    VXPipeSender* m_pPipeSender;
    VXPipeReciver* m_pPipeReciver;
    QString m_writePipeName;
    QString m_readPipeName;
};
