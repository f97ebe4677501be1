// The message text form: every argument type survives a round trip, texts that are not a message
// are refused, and no input crashes the reader.

#include "VXFoundation/VXProcessMessage.h"

#include <QRandomGenerator>
#include <QtTest>

#include <climits>

using Args = QList<QVariant>;
Q_DECLARE_METATYPE(Args)

namespace {

QSharedPointer<VXProcessMessage> Make(const QString& name, const Args& args)
{
    auto message = VXProcessMessage::Create(name);
    message->GetArgs() = args;
    return message;
}

// Same name, same number of arguments, each with the same type and value.
bool SameMessage(const QSharedPointer<VXProcessMessage>& a, const QSharedPointer<VXProcessMessage>& b)
{
    if (!a || !b || a->GetName() != b->GetName() || a->GetArgs().size() != b->GetArgs().size())
        return false;
    for (int i = 0; i < a->GetArgs().size(); ++i) {
        const QVariant& x = a->GetArgs().at(i);
        const QVariant& y = b->GetArgs().at(i);
        if (x.userType() != y.userType() || x != y)
            return false;
    }
    return true;
}

QString WithNul()
{
    QString text = QStringLiteral("a");
    text.append(QChar(0));
    text.append(QStringLiteral("b"));
    return text;
}

}  // namespace

class TestProcessMessage : public QObject
{
    Q_OBJECT

private slots:
    // --- Round trips -----------------------------------------------------------------------
    void roundTrip_data();
    void roundTrip();
    void textIsValidUtf8WithoutNul_data() { roundTrip_data(); }
    void textIsValidUtf8WithoutNul();
    void otherVariantTypesTravelAsText();
    void unitNeedingCareAtAnyOffset_data();
    void unitNeedingCareAtAnyOffset();

    // --- Reading texts written by others ----------------------------------------------------
    void acceptsJsonWhiteSpaceAndEscapes();
    void refusesNonMessages_data();
    void refusesNonMessages();
    void randomInputNeverCrashes();
    void mutatedMessagesNeverCrash();
};

void TestProcessMessage::roundTrip_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Args>("args");

    QTest::newRow("no arguments") << "ActivePlatform" << Args{};
    QTest::newRow("empty name") << "" << Args{};
    QTest::newRow("strings") << "OpenUrl"
                             << Args{QString(), QStringLiteral("plain"), QStringLiteral("quote \" and \\ backslash"),
                                     QStringLiteral("line\nbreak\r\ttab"), WithNul(),
                                     QStringLiteral("s:looks like a tag"), QStringLiteral("]\",\"")};
    QTest::newRow("non-ASCII") << QStringLiteral("名前") << Args{QStringLiteral("你好, Grüße, emoji 😀"),
                                                               QString(QChar(0xD800)) /* unpaired surrogate */,
                                                               QString(QChar(0xDFFF)) + QStringLiteral("x")};
    QTest::newRow("bools") << "TrayIconAction" << Args{true, false};
    QTest::newRow("ints") << "Numbers" << Args{0, -1, 1, INT_MIN, INT_MAX, 2048};
    QTest::newRow("unsigned ints") << "Numbers" << Args{0u, 1u, 4294967295u, 2147483648u};
    QByteArray allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes.append(char(i));
    QTest::newRow("byte arrays") << "ChangeSetting"
                                 << Args{QByteArray(), QByteArray("{\"skinName\":\"dark\"}"), allBytes,
                                         QByteArray("\xff\xfe\x00invalid utf-8\xc3", 17), QByteArray(1, '\0')};
    QTest::newRow("mixed, in order")
        << "UploadCefException" << Args{7, QStringLiteral("a"), true, 3u, QByteArray("b"), QString(), -5};
    QTest::newRow("long text") << "Big" << Args{QString(100000, QChar(0x4E2D))};
}

void TestProcessMessage::roundTrip()
{
    QFETCH(QString, name);
    QFETCH(Args, args);
    const auto original = Make(name, args);
    const QString text = original->ToString();
    const auto parsed = VXProcessMessage::CreateFromString(text);
    QVERIFY2(parsed, qPrintable(text.left(200)));
    QVERIFY2(SameMessage(original, parsed), qPrintable(text.left(200)));
    // Through the wire encoding as well: UTF-8 bytes and back.
    QVERIFY(SameMessage(original, VXProcessMessage::CreateFromString(QString::fromUtf8(text.toUtf8()))));
}

void TestProcessMessage::textIsValidUtf8WithoutNul()
{
    QFETCH(QString, name);
    QFETCH(Args, args);
    const QString text = Make(name, args)->ToString();
    QVERIFY(!text.contains(QChar(0)));
    for (const QChar c : text) {
        QVERIFY2(c.unicode() >= 0x20, "raw control character in the text form");
    }
    const QByteArray utf8 = text.toUtf8();
    QCOMPARE(QString::fromUtf8(utf8), text);  // no unpaired surrogate was written raw
    QVERIFY(!utf8.contains('\0'));
}

void TestProcessMessage::otherVariantTypesTravelAsText()
{
    const auto message = Make(QStringLiteral("Other"), Args{qlonglong(1) << 40, 2.5, QVariant()});
    const auto parsed = VXProcessMessage::CreateFromString(message->ToString());
    QVERIFY(parsed);
    QCOMPARE(parsed->GetArgs().value(0), QVariant(QStringLiteral("1099511627776")));
    QCOMPARE(parsed->GetArgs().value(1), QVariant(QStringLiteral("2.5")));
    QCOMPARE(parsed->GetArgs().value(2), QVariant(QString()));
}

// Texts are scanned several units at a time; a unit that needs escaping (or that is close to
// one that does) must be handled wherever it falls relative to those blocks.
void TestProcessMessage::unitNeedingCareAtAnyOffset_data()
{
    QTest::addColumn<QString>("unit");
    QTest::newRow("quote") << QStringLiteral("\"");
    QTest::newRow("backslash") << QStringLiteral("\\");
    QTest::newRow("NUL") << QString(QChar(0));
    QTest::newRow("line feed") << QStringLiteral("\n");
    QTest::newRow("last control 0x1F") << QString(QChar(0x1F));
    QTest::newRow("space 0x20") << QStringLiteral(" ");
    QTest::newRow("DEL 0x7F") << QString(QChar(0x7F));
    QTest::newRow("below surrogates 0xD7FF") << QString(QChar(0xD7FF));
    QTest::newRow("unpaired high surrogate") << QString(QChar(0xD83D));
    QTest::newRow("unpaired low surrogate") << QString(QChar(0xDE00));
    QTest::newRow("surrogate pair") << QStringLiteral("\U0001F600");
    QTest::newRow("above surrogates 0xE000") << QString(QChar(0xE000));
    QTest::newRow("0xFFFF") << QString(QChar(0xFFFF));
}

void TestProcessMessage::unitNeedingCareAtAnyOffset()
{
    QFETCH(QString, unit);
    for (int offset = 0; offset <= 20; ++offset) {
        for (const int length : {offset, offset + 1, offset + 9, 40}) {
            QString text(qMax(length, offset), QLatin1Char('a'));
            text.insert(offset, unit);
            const auto original = Make(QStringLiteral("Scan") + unit, Args{text, text + unit});
            const QString written = original->ToString();
            for (const QChar c : written)
                QVERIFY2(c.unicode() >= 0x20, qPrintable(QStringLiteral("raw control at offset %1").arg(offset)));
            QCOMPARE(QString::fromUtf8(written.toUtf8()), written);
            const auto parsed = VXProcessMessage::CreateFromString(written);
            QVERIFY2(SameMessage(original, parsed), qPrintable(QStringLiteral("offset %1, length %2").arg(offset).arg(length)));
            // A raw control character inside a string is not JSON, wherever it is.
            if (unit.at(0).unicode() < 0x20) {
                QString raw = QStringLiteral("[\"N\",\"s:") + text + QStringLiteral("\"]");
                QVERIFY(!VXProcessMessage::CreateFromString(raw));
            }
        }
    }
}

void TestProcessMessage::acceptsJsonWhiteSpaceAndEscapes()
{
    const auto parsed = VXProcessMessage::CreateFromString(
        QStringLiteral(" \n[ \"Open\\u0055rl\" ,\t\"s:a\\/b\\u00e9\\ud83d\\ude00\"\r\n, \"b:true\",\"i:-0042\" ] \n"));
    QVERIFY(parsed);
    QCOMPARE(parsed->GetName(), QStringLiteral("OpenUrl"));
    QCOMPARE(parsed->GetArgs().size(), 3);
    QCOMPARE(parsed->GetArgs().at(0), QVariant(QStringLiteral("a/b\u00e9\U0001F600")));
    QCOMPARE(parsed->GetArgs().at(1), QVariant(true));
    QCOMPARE(parsed->GetArgs().at(2), QVariant(-42));
}

void TestProcessMessage::refusesNonMessages_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("white space") << "  \n";
    QTest::newRow("empty array") << "[]";
    QTest::newRow("not an array") << "{\"name\":\"OpenUrl\"}";
    QTest::newRow("bare name") << "OpenUrl";
    QTest::newRow("truncated after bracket") << "[";
    QTest::newRow("truncated in name") << "[\"Open";
    QTest::newRow("truncated after name") << "[\"OpenUrl\"";
    QTest::newRow("truncated after comma") << "[\"OpenUrl\",";
    QTest::newRow("truncated escape") << "[\"Open\\";
    QTest::newRow("short unicode escape") << "[\"Open\\u00\"]";
    QTest::newRow("bad escape") << "[\"Open\\x\"]";
    QTest::newRow("raw control in string") << "[\"Open\nUrl\"]";
    QTest::newRow("trailing garbage") << "[\"OpenUrl\"]x";
    QTest::newRow("two messages") << "[\"A\"][\"B\"]";
    QTest::newRow("trailing comma") << "[\"OpenUrl\",]";
    QTest::newRow("missing comma") << "[\"OpenUrl\" \"s:a\"]";
    QTest::newRow("number element") << "[\"OpenUrl\",1]";
    QTest::newRow("bool element") << "[\"OpenUrl\",true]";
    QTest::newRow("null name") << "[null]";
    QTest::newRow("untagged argument") << "[\"OpenUrl\",\"hello\"]";
    QTest::newRow("unknown tag") << "[\"OpenUrl\",\"x:1\"]";
    QTest::newRow("tag without colon") << "[\"OpenUrl\",\"s\"]";
    QTest::newRow("bad bool") << "[\"A\",\"b:yes\"]";
    QTest::newRow("empty int") << "[\"A\",\"i:\"]";
    QTest::newRow("int with sign only") << "[\"A\",\"i:-\"]";
    QTest::newRow("int over max") << "[\"A\",\"i:2147483648\"]";
    QTest::newRow("int under min") << "[\"A\",\"i:-2147483649\"]";
    QTest::newRow("int huge") << "[\"A\",\"i:99999999999999999999999999\"]";
    QTest::newRow("int with space") << "[\"A\",\"i: 1\"]";
    QTest::newRow("int with plus") << "[\"A\",\"i:+1\"]";
    QTest::newRow("negative unsigned") << "[\"A\",\"u:-1\"]";
    QTest::newRow("unsigned over max") << "[\"A\",\"u:4294967296\"]";
    QTest::newRow("base64 bad length") << "[\"A\",\"y:QQ\"]";
    QTest::newRow("base64 bad char") << "[\"A\",\"y:Q!==\"]";
    QTest::newRow("base64 non-ASCII") << "[\"A\",\"y:QQ\u00e9=\"]";
    QTest::newRow("nested array") << "[[\"A\"]]";
}

void TestProcessMessage::refusesNonMessages()
{
    QFETCH(QString, text);
    QVERIFY(!VXProcessMessage::CreateFromString(text));
}

// Random texts over an alphabet rich in the grammar's own characters: each is either refused or
// read as a message whose own text form reads back to the same message.
void TestProcessMessage::randomInputNeverCrashes()
{
    const QString alphabet = QStringLiteral("[]\",\\:sbiuy0123456789-+=/ \nABQtruefalse\u00e9\U0001F600");
    QRandomGenerator random(20261205);
    int accepted = 0;
    for (int round = 0; round < 50000; ++round) {
        QString text;
        const int length = int(random.bounded(40));
        if (random.bounded(2))
            text = QStringLiteral("[\"");
        for (int i = 0; i < length; ++i)
            text.append(alphabet.at(int(random.bounded(alphabet.size()))));
        const auto parsed = VXProcessMessage::CreateFromString(text);
        if (parsed) {
            ++accepted;
            QVERIFY(SameMessage(parsed, VXProcessMessage::CreateFromString(parsed->ToString())));
        }
    }
    qInfo("%d of 50000 random texts were messages", accepted);
}

void TestProcessMessage::mutatedMessagesNeverCrash()
{
    const QString valid = Make(QStringLiteral("UploadCefException"),
                               Args{INT_MIN, QStringLiteral("a\"b"), true, 9u, QByteArray("xyz\0", 4)})
                              ->ToString();
    QRandomGenerator random(42);
    for (int round = 0; round < 20000; ++round) {
        QString text = valid;
        const int edits = 1 + int(random.bounded(4));
        for (int e = 0; e < edits && !text.isEmpty(); ++e) {
            const int at = int(random.bounded(text.size()));
            switch (random.bounded(3)) {
            case 0: text.remove(at, 1); break;
            case 1: text.insert(at, QChar(ushort(random.bounded(0x80)))); break;
            default: text[at] = QChar(ushort(random.bounded(0x80))); break;
            }
        }
        const auto parsed = VXProcessMessage::CreateFromString(text);
        if (parsed)
            QVERIFY(SameMessage(parsed, VXProcessMessage::CreateFromString(parsed->ToString())));
    }
    // Every prefix of a valid message is incomplete.
    for (int cut = 0; cut < valid.size(); ++cut)
        QVERIFY2(!VXProcessMessage::CreateFromString(valid.left(cut)), qPrintable(valid.left(cut)));
}

QTEST_GUILESS_MAIN(TestProcessMessage)
#include "tst_processmessage.moc"
