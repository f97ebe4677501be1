// The documents' examples are real: every ```message block pairs a text form with a
// "=> Name(type value, ...)" line, and the text form must parse to exactly that. The protocol
// document shows every message of both directions, and its requests are what the builders write.

#include "PlatformKKWrapper/KKInboundRoutes.h"
#include "PlatformKKWrapper/KKMessageBuilders.h"
#include "PlatformKKWrapper/KKSettingEntity.h"
#include "VXCore/VXGlobalData.h"
#include "VXCore/VXTcpManager.h"
#include "VXFoundation/VXProcessMessage.h"
#include "VXFrameData/IGeneralData.h"
#include "VXFrameData/VXKKData.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

namespace {

struct Example { int line; QString text, meaning; };

QList<Example> ReadExamples(const QString& file)
{
    QList<Example> examples;
    QFile doc(QStringLiteral(KK_SOURCE_DIR "/docs/") + file);
    doc.open(QIODevice::ReadOnly);  // a document not found has no examples
    const QStringList lines = QString::fromUtf8(doc.readAll()).split(QLatin1Char('\n'));
    bool inBlock = false;
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i];
        if (line.trimmed().startsWith(QLatin1String("```")))
            inBlock = !inBlock && line.trimmed() == QLatin1String("```message");
        else if (inBlock && line.startsWith(QLatin1String("=>")) && !examples.isEmpty() && examples.last().meaning.isEmpty())
            examples.last().meaning = line.mid(2).trimmed();
        else if (inBlock)
            examples.append({i + 1, line, QString()});
    }
    return examples;
}

// `Name(type value, ...)` as the message it describes; null if malformed.
QSharedPointer<VXProcessMessage> ParseMeaning(const QString& meaning)
{
    static const QRegularExpression whole(QStringLiteral("^(\\w+)\\((.*)\\)$"));
    static const QRegularExpression arg(
        QStringLiteral("\\G\\s*(string|bytes|bool|int|uint) (\"(?:[^\"\\\\]|\\\\.)*\"|[^,\\s]+)\\s*(?:,|$)"));
    const QRegularExpressionMatch m = whole.match(meaning);
    if (!m.hasMatch())
        return {};
    auto message = VXProcessMessage::Create(m.captured(1));
    const QString body = m.captured(2);
    for (int pos = 0; pos < body.size();) {
        const QRegularExpressionMatch a = arg.match(body, pos);
        if (!a.hasMatch())
            return {};
        const QString type = a.captured(1), value = a.captured(2);
        const QJsonValue decoded = QJsonDocument::fromJson(("[" + value + "]").toUtf8()).array().at(0);
        const bool quoted = type == QLatin1String("string") || type == QLatin1String("bytes");
        if (decoded.isUndefined() || quoted != decoded.isString())
            return {};
        message->GetArgs().append(type == QLatin1String("string") ? QVariant(decoded.toString())
                                  : quoted                        ? QVariant(decoded.toString().toLatin1())
                                  : type == QLatin1String("bool") ? QVariant(value == QLatin1String("true"))
                                  : type == QLatin1String("int")  ? QVariant(value.toInt())
                                                                  : QVariant(value.toUInt()));
        pos = a.capturedEnd();
    }
    return message;
}

}  // namespace

class TestDocExamples : public QObject
{
    Q_OBJECT

private slots:
    void examplesMeanWhatTheySay_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("meaning");
        int count = 0;
        for (const char* file : {"protocol.md", "message-text-form.md"}) {
            for (const Example& example : ReadExamples(QLatin1String(file))) {
                QTest::addRow("%s:%d", file, example.line) << example.text << example.meaning;
                ++count;
            }
        }
        QVERIFY2(count >= 30, "the documents' examples were not found");
    }

    void examplesMeanWhatTheySay()
    {
        QFETCH(QString, text);
        QFETCH(QString, meaning);
        const auto expected = ParseMeaning(meaning);
        QVERIFY2(expected, qPrintable(QStringLiteral("missing or malformed => line: ") + meaning));
        const auto parsed = VXProcessMessage::CreateFromString(text);
        QVERIFY2(parsed, "the text form does not parse");
        QCOMPARE(parsed->ToString(), expected->ToString());  // the type letters tell the types apart
    }

    // Every message the client sends is shown (and each but "StartupCompleted", the manager's own,
    // has a route to the host); every request shown is what a builder writes.
    void protocolShowsEveryMessage()
    {
        QStringList texts, shown;
        for (const Example& example : ReadExamples(QStringLiteral("protocol.md"))) {
            texts << example.text;
            if (const auto message = VXProcessMessage::CreateFromString(example.text))
                shown << message->GetName();
        }
        QVERIFY(shown.contains(QStringLiteral("StartupCompleted")));
        for (const char* name : {"OpenUrl", "OpenPlugin", "OpenSetting", "ShowMessageBox", "ChangeStatusCallback",
                                 "BaseInfoChanged", "ActivePlatform", "UnreadMessageChanged", "TrayIconAction",
                                 "ChangeLoginInitStatus", "UpgradeNewVersion", "LoginNewAccount",
                                 "UploadInterfaceException", "UploadCefException", "ChangeSkin"}) {
            QVERIFY2(shown.contains(QLatin1String(name)), name);
            QVERIFY2(KKInboundRoute::Find(QLatin1String(name)), name);
        }
        KKSettingEntity setting;
        setting.SetHotKey(QStringLiteral("Ctrl+Alt+K"));
        setting.SetMerge(true);
        VXGlobalData::Instance()->SetPin(QStringLiteral("seller_01"));
        IGeneralData::Instance()->GetKKData()->SetChangeStatus(true);
        IGeneralData::Instance()->GetKKData()->SetStartupStatus(KK_Status_Online);
        VXTcpManager::Default()->SetLoginValues(QStringLiteral("session-a"), QStringLiteral("session-b"),
                                                QByteArray("\x00\x01\x02", 3));
        for (const auto& message : {MakeOpenKKWindowMessage(QStringLiteral("Buyer_0815"), KK_UserType_Customer,
                                                             QStringLiteral("app-7"), QStringLiteral("{\"orderId\":42}")),
                                    MakeOpenKKGroupMessage(QStringLiteral("group-9"), QString()),
                                    MakeOpenKKWorkbenchMessage(QStringLiteral("orders")),
                                    MakeOpenBaseInfoSettingWindowMessage(), MakeChangeStatusMessage(KK_Status_Busy),
                                    MakeChangeSkinMessage(QStringLiteral("dark")), MakeChangeSettingMessage(setting),
                                    MakeShowUnreadMessageListMessage(true, 100, 200, 320, 480),
                                    MakeNotifyChangedMessage(QStringLiteral("shop-name")),
                                    MakeNotifyHasNewVersionMessage(), MakeLoginMessage()})
            QVERIFY2(texts.contains(message->ToString()), qPrintable(message->ToString()));
    }
};

QTEST_GUILESS_MAIN(TestDocExamples)
#include "tst_docexamples.moc"
