// The message text form: the exact text written for each argument type and escape, reading it
// back, and the texts the reader refuses. Random input is the fuzz target's job.

#include "VXFoundation/VXProcessMessage.h"

#include <QtTest>
#include <climits>

using Args = QList<QVariant>;
Q_DECLARE_METATYPE(Args)

namespace {

QString Write(const QString& name, const Args& args)
{
    auto message = VXProcessMessage::Create(name);
    message->GetArgs() = args;
    return message->ToString();
}

// Reads `text` and checks the name and the arguments, each of the same type.
void CompareRead(const QString& text, const QString& name, const Args& args)
{
    const auto m = VXProcessMessage::CreateFromString(text);
    QVERIFY2(m, qPrintable(text));
    QCOMPARE(m->GetName(), name);
    QCOMPARE(m->GetArgs(), args);
    for (int i = 0; i < args.size(); ++i)
        QCOMPARE(m->GetArgs().at(i).userType(), args.at(i).userType());
}

}  // namespace

class TestProcessMessage : public QObject
{
    Q_OBJECT

private slots:
    void exactForm_data()
    {
        QTest::addColumn<Args>("args");
        QTest::addColumn<QString>("text");
        QTest::addColumn<Args>("read");  // what a reader gets back
        const Args types{QStringLiteral("a"), true, false, INT_MIN, INT_MAX, 0u, 4294967295u,
                         QByteArray("\0\xff", 2), QByteArray(), QString()};
        QTest::newRow("every type") << types << R"(["N","s:a","b:true","b:false","i:-2147483648","i:2147483647",)"
                                                R"("u:0","u:4294967295","y:AP8=","y:","s:"])" << types;
        QTest::newRow("other types as text") << Args{qlonglong(1) << 40, 2.5, QVariant()}
                                             << R"(["N","s:1099511627776","s:2.5","s:"])"
                                             << Args{QStringLiteral("1099511627776"), QStringLiteral("2.5"), QString()};
    }
    void exactForm()
    {
        QFETCH(Args, args);
        QFETCH(QString, text);
        QFETCH(Args, read);
        QCOMPARE(Write(QStringLiteral("N"), args), text);
        CompareRead(text, QStringLiteral("N"), read);
    }
    // Texts are scanned eight units at a time: a unit that needs escaping, or one just outside
    // what does, must come out right wherever it falls in or after such a block.
    void escapesAtAnyOffset_data()
    {
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("escaped");
        QTest::newRow("quote") << "\"" << R"(\")";
        QTest::newRow("backslash") << "\\" << R"(\\)";
        QTest::newRow("line feed") << "\n" << R"(\n)";
        QTest::newRow("carriage return") << "\r" << R"(\r)";
        QTest::newRow("tab") << "\t" << R"(\t)";
        QTest::newRow("NUL") << QString(QChar(0)) << R"(\u0000)";
        QTest::newRow("0x1F") << QString(QChar(0x1F)) << R"(\u001f)";
        QTest::newRow("lone high surrogate") << QString(QChar(0xD83D)) << R"(\ud83d)";
        QTest::newRow("lone low surrogate") << QString(QChar(0xDE00)) << R"(\ude00)";
        for (const QString plain : {" ", "\x7F", "\uD7FF", "\U0001F600", "\uE000"})
            QTest::newRow(qPrintable("plain " + QString::number(plain.at(0).unicode(), 16))) << plain << plain;
    }
    void escapesAtAnyOffset()
    {
        QFETCH(QString, unit);
        QFETCH(QString, escaped);
        for (int offset = 0; offset <= 17; ++offset) {
            for (const int after : {0, 1, 9}) {
                const QString a(offset, QLatin1Char('a')), b(after, QLatin1Char('b')), text = a + unit + b;
                const QString written = Write(unit + QLatin1Char('N'), {text});
                QCOMPARE(written, QStringLiteral(R"(["%1N","s:%2"])").arg(escaped, a + escaped + b));
                CompareRead(written, unit + QLatin1Char('N'), {text});
                if (unit.at(0) < QLatin1Char(' '))  // raw, a control character is not JSON
                    QVERIFY(!VXProcessMessage::CreateFromString(QStringLiteral(R"(["N","s:%1"])").arg(text)));
            }
        }
    }
    void readsJsonWhiteSpaceAndEscapes()
    {
        CompareRead(QStringLiteral(" \n[ \"Open\\u0055rl\" ,\t\"s:a\\/b\\u00E9\\ud83d\\ude00\\b\\f\"\r\n, "
                                   "\"b:true\",\"i:-0042\" ] \n"),
                    QStringLiteral("OpenUrl"), {QStringLiteral("a/b\u00e9\U0001F600\b\f"), true, -42});
    }
    void refusesNonMessages()
    {
        QStringList texts{"", "  \n", "[]", R"({"name":"A"})", "A", "[", "[\"A", R"(["A")", R"(["A",)",
                          "[\"A\\", R"(["A\u00"])", R"(["A\u00g0"])", R"(["A\x"])", R"(["A"]x)", R"(["A"]["B"])",
                          R"(["A",])", R"(["A" "s:a"])", R"(["A",1])", R"(["A",true])", "[null]", R"([["A"]])",
                          R"(["A","hello"])", R"(["A","x:1"])", R"(["A","s"])", R"(["A","b:yes"])", R"(["A","i:"])",
                          R"(["A","i:-"])", R"(["A","i:2147483648"])", R"(["A","i:-2147483649"])",
                          R"(["A","i:99999999999999999999999"])", R"(["A","i: 1"])", R"(["A","i:+1"])",
                          R"(["A","i:1x"])", R"(["A","u:-1"])", R"(["A","u:4294967296"])", R"(["A","y:QQ"])",
                          R"(["A","y:Q!=="])", QStringLiteral(R"(["A","y:QQé="])")};
        // Every proper prefix of a message is incomplete.
        const QString valid = Write("N\"", {INT_MIN, QStringLiteral("a\"\\b"), true, 9u, QByteArray("x")});
        for (int cut = 0; cut < valid.size(); ++cut)
            texts << valid.left(cut);
        for (const QString& text : texts)
            QVERIFY2(!VXProcessMessage::CreateFromString(text), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestProcessMessage)
#include "tst_processmessage.moc"
