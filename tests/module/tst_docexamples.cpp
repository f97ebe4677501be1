// The protocol documents' examples are real: every ```message block pairs a text form with a
// "=> Name(type value, ...)" line, and the text form must parse to exactly that. The protocol
// document must show every message of both directions, and its examples of requests must be
// what the module's builders write.

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
#include <QtTest>

namespace {

struct Example
{
    QString file;
    int line = 0;
    QString text;
    QString meaning;
};

QList<Example> ReadExamples(const QString& file)
{
    QList<Example> examples;
    QFile doc(QStringLiteral(KK_SOURCE_DIR "/docs/") + file);
    if (!doc.open(QIODevice::ReadOnly))
        return examples;
    const QStringList lines = QString::fromUtf8(doc.readAll()).split(QLatin1Char('\n'));
    bool inBlock = false;
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i];
        if (!inBlock) {
            inBlock = line.trimmed() == QLatin1String("```message");
            continue;
        }
        if (line.trimmed() == QLatin1String("```")) {
            inBlock = false;
            continue;
        }
        if (line.startsWith(QLatin1String("=>")) && !examples.isEmpty() && examples.last().meaning.isEmpty())
            examples.last().meaning = line.mid(2).trimmed();
        else
            examples.append({file, i + 1, line, QString()});
    }
    return examples;
}

// Parses `Name(type value, ...)` into the message it describes; null if the line is malformed.
QSharedPointer<VXProcessMessage> ParseMeaning(const QString& meaning)
{
    const int open = meaning.indexOf(QLatin1Char('('));
    if (open <= 0 || !meaning.endsWith(QLatin1Char(')')))
        return {};
    auto message = VXProcessMessage::Create(meaning.left(open));
    const QString body = meaning.mid(open + 1, meaning.size() - open - 2);
    int pos = 0;
    const auto skip = [&] {
        while (pos < body.size() && body[pos] == QLatin1Char(' '))
            ++pos;
    };
    while (true) {
        skip();
        if (pos >= body.size())
            break;
        const int space = body.indexOf(QLatin1Char(' '), pos);
        if (space < 0)
            return {};
        const QString type = body.mid(pos, space - pos);
        pos = space + 1;
        QString value;
        if (type == QLatin1String("string") || type == QLatin1String("bytes")) {
            // A JSON string literal: find its closing quote, then let the JSON reader decode it.
            if (body[pos] != QLatin1Char('"'))
                return {};
            int end = pos + 1;
            while (end < body.size() && body[end] != QLatin1Char('"'))
                end += body[end] == QLatin1Char('\\') ? 2 : 1;
            const QJsonArray decoded =
                QJsonDocument::fromJson(QStringLiteral("[%1]").arg(body.mid(pos, end - pos + 1)).toUtf8()).array();
            if (decoded.size() != 1)
                return {};
            value = decoded.at(0).toString();
            pos = end + 1;
        } else {
            int end = body.indexOf(QLatin1Char(','), pos);
            if (end < 0)
                end = body.size();
            value = body.mid(pos, end - pos).trimmed();
            pos = end;
        }
        QVariant arg;
        if (type == QLatin1String("string"))
            arg = value;
        else if (type == QLatin1String("bytes"))
            arg = value.toLatin1();
        else if (type == QLatin1String("bool"))
            arg = value == QLatin1String("true");
        else if (type == QLatin1String("int"))
            arg = value.toInt();
        else if (type == QLatin1String("uint"))
            arg = value.toUInt();
        else
            return {};
        message->GetArgs().append(arg);
        skip();
        if (pos < body.size() && body[pos] == QLatin1Char(','))
            ++pos;
    }
    return message;
}

QString Describe(const QSharedPointer<VXProcessMessage>& message)
{
    if (!message)
        return QStringLiteral("(not a message)");
    QStringList args;
    for (const QVariant& arg : message->GetArgs())
        args.append(QStringLiteral("%1:%2").arg(QLatin1String(arg.typeName()), arg.toString()));
    return message->GetName() + QLatin1Char('(') + args.join(QStringLiteral(", ")) + QLatin1Char(')');
}

bool Same(const QSharedPointer<VXProcessMessage>& a, const QSharedPointer<VXProcessMessage>& b)
{
    if (!a || !b || a->GetName() != b->GetName() || a->GetArgs().size() != b->GetArgs().size())
        return false;
    for (int i = 0; i < a->GetArgs().size(); ++i) {
        if (a->GetArgs()[i].userType() != b->GetArgs()[i].userType() || a->GetArgs()[i] != b->GetArgs()[i])
            return false;
    }
    return true;
}

}  // namespace

class TestDocExamples : public QObject
{
    Q_OBJECT

private slots:
    void examplesMeanWhatTheySay_data();
    void examplesMeanWhatTheySay();
    void protocolShowsEveryMessage();
    void requestExamplesAreWhatTheBuildersWrite();
};

void TestDocExamples::examplesMeanWhatTheySay_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("meaning");
    int count = 0;
    for (const QString& file : {QStringLiteral("protocol.md"), QStringLiteral("message-text-form.md")}) {
        for (const Example& example : ReadExamples(file)) {
            QTest::addRow("%s:%d", qPrintable(example.file), example.line) << example.text << example.meaning;
            ++count;
        }
    }
    QVERIFY2(count >= 30, "the documents' examples were not found");
}

void TestDocExamples::examplesMeanWhatTheySay()
{
    QFETCH(QString, text);
    QFETCH(QString, meaning);
    QVERIFY2(!meaning.isEmpty(), "an example without its => line");
    const auto expected = ParseMeaning(meaning);
    QVERIFY2(expected, qPrintable(QStringLiteral("malformed => line: ") + meaning));
    const auto parsed = VXProcessMessage::CreateFromString(text);
    QVERIFY2(Same(parsed, expected), qPrintable(Describe(parsed) + QStringLiteral(" != ") + Describe(expected)));
}

void TestDocExamples::protocolShowsEveryMessage()
{
    QSet<QString> shown;
    for (const Example& example : ReadExamples(QStringLiteral("protocol.md"))) {
        if (const auto message = VXProcessMessage::CreateFromString(example.text))
            shown.insert(message->GetName());
    }
    const QStringList names{
        // to the client
        "ChangeSetting", "ChangeSkin", "ChangeStatus", "Login", "NotifyChanged", "VXHasNewVersion",
        "OpenBaseInfoSettingWindow", "OpenKKGroup", "OpenKKWindow", "JsOpenKKWorkbench", "ShowUnreadMessageList",
        // from the client
        "OpenUrl", "OpenPlugin", "OpenSetting", "StartupCompleted", "ShowMessageBox", "ChangeStatusCallback",
        "BaseInfoChanged", "ActivePlatform", "UnreadMessageChanged", "TrayIconAction", "ChangeLoginInitStatus",
        "UpgradeNewVersion", "LoginNewAccount", "UploadInterfaceException", "UploadCefException"};
    for (const QString& name : names)
        QVERIFY2(shown.contains(name), qPrintable(name + QStringLiteral(" has no example")));
}

void TestDocExamples::requestExamplesAreWhatTheBuildersWrite()
{
    QStringList texts;
    for (const Example& example : ReadExamples(QStringLiteral("protocol.md")))
        texts.append(example.text);
    KKSettingEntity setting;
    setting.SetHotKey(QStringLiteral("Ctrl+Alt+K"));
    setting.SetMerge(true);
    const QList<QSharedPointer<VXProcessMessage>> built{
        MakeOpenKKWindowMessage(QStringLiteral("Buyer_0815"), KK_UserType_Customer, QStringLiteral("app-7"),
                                QStringLiteral("{\"orderId\":42}")),
        MakeOpenKKGroupMessage(QStringLiteral("group-9"), QString()),
        MakeOpenKKWorkbenchMessage(QStringLiteral("orders")),
        MakeOpenBaseInfoSettingWindowMessage(),
        MakeChangeStatusMessage(KK_Status_Busy),
        MakeChangeSkinMessage(QStringLiteral("dark")),
        MakeChangeSettingMessage(setting),
        MakeShowUnreadMessageListMessage(true, 100, 200, 320, 480),
        MakeNotifyChangedMessage(QStringLiteral("shop-name")),
        MakeNotifyHasNewVersionMessage()};
    for (const auto& message : built)
        QVERIFY2(texts.contains(message->ToString()), qPrintable(message->ToString()));

    VXGlobalData::Instance()->SetPin(QStringLiteral("seller_01"));
    IGeneralData::Instance()->GetKKData()->SetChangeStatus(true);
    IGeneralData::Instance()->GetKKData()->SetStartupStatus(KK_Status_Online);
    VXTcpManager::Default()->SetLoginValues(QStringLiteral("session-a"), QStringLiteral("session-b"),
                                            QByteArray("\x00\x01\x02", 3));
    const QString login = MakeLoginMessage()->ToString();
    QVERIFY2(texts.contains(login), qPrintable(login));
}

QTEST_GUILESS_MAIN(TestDocExamples)
#include "tst_docexamples.moc"
