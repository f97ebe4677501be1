#include "simulator/KKScriptCommand.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <climits>

namespace {

// Splits `text` into words at blanks. A word may hold JSON string literals, which may hold blanks
// and escapes and are replaced by what they mean: s:"a \"b\"" is the word s:a "b".
bool SplitWords(const QString& text, QStringList* words, QString* error)
{
    int i = 0;
    const int size = text.size();
    while (i < size) {
        if (text.at(i).isSpace()) {
            ++i;
            continue;
        }
        QString word;
        while (i < size && !text.at(i).isSpace()) {
            if (text.at(i) != QLatin1Char('"')) {
                word.append(text.at(i++));
                continue;
            }
            int end = i + 1;
            while (end < size && text.at(end) != QLatin1Char('"'))
                end += text.at(end) == QLatin1Char('\\') ? 2 : 1;
            if (end >= size) {
                *error = QStringLiteral("unterminated string");
                return false;
            }
            const QByteArray literal = text.mid(i, end + 1 - i).toUtf8();
            const QJsonDocument decoded = QJsonDocument::fromJson('[' + literal + ']');
            if (!decoded.isArray() || !decoded.array().at(0).isString()) {
                *error = QStringLiteral("bad string %1").arg(QString::fromUtf8(literal));
                return false;
            }
            word.append(decoded.array().at(0).toString());
            i = end + 1;
        }
        words->append(word);
    }
    return true;
}

// The message NAME(ARGS...), checked by reading its text form back.
QSharedPointer<VXProcessMessage> BuildMessage(const QStringList& words, QString* error)
{
    QJsonArray elements;
    for (const QString& word : words)
        elements.append(word);
    const QString text = QString::fromUtf8(QJsonDocument(elements).toJson(QJsonDocument::Compact));
    const auto message = VXProcessMessage::CreateFromString(text);
    if (!message)
        *error = QStringLiteral("bad arguments: each is TAG:VALUE, with a tag of s, b, i, u or y and a value of "
                                "that type");
    return message;
}

bool ParseNumber(const QString& text, int minimum, int maximum, int* out)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < minimum || value > maximum)
        return false;
    *out = value;
    return true;
}

}  // namespace

bool KKScriptCommand::Parse(const QString& line, KKScriptCommand* out, QString* error)
{
    QString reason;
    const auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    const QString trimmed = line.trimmed();
    KKScriptCommand command;
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#'))) {
        *out = command;
        return true;
    }
    const int blank = trimmed.indexOf(QRegularExpression(QStringLiteral("\\s")));
    const QString verb = blank < 0 ? trimmed : trimmed.left(blank);
    const QString rest = blank < 0 ? QString() : trimmed.mid(blank + 1).trimmed();

    if (verb == QLatin1String("raw")) {
        command.kind = Raw;
        command.data = rest.toUtf8();
        *out = command;
        return true;
    }
    if (verb == QLatin1String("bytes")) {
        QString hex = rest;
        hex.remove(QRegularExpression(QStringLiteral("\\s")));
        if (hex.isEmpty() || hex.size() % 2 != 0 || hex.contains(QRegularExpression(QStringLiteral("[^0-9A-Fa-f]"))))
            return fail(QStringLiteral("bytes needs an even number of hex digits"));
        command.kind = Bytes;
        command.data = QByteArray::fromHex(hex.toLatin1());
        *out = command;
        return true;
    }

    QStringList words;
    if (!SplitWords(rest, &words, &reason))
        return fail(reason);
    const auto noArguments = [&](Kind kind) {
        if (!words.isEmpty())
            return fail(QStringLiteral("%1 takes no arguments").arg(verb));
        command.kind = kind;
        return true;
    };

    bool ok = true;
    if (verb == QLatin1String("send")) {
        if (words.isEmpty())
            return fail(QStringLiteral("send needs a message name"));
        command.kind = Send;
        command.message = BuildMessage(words, &reason);
        ok = !command.message.isNull() || fail(reason);
    } else if (verb == QLatin1String("flood")) {
        if (words.size() < 2 || !ParseNumber(words.at(0), 0, INT_MAX, &command.number))
            return fail(QStringLiteral("flood needs a count of 0 or more and a message name"));
        command.kind = Flood;
        command.message = BuildMessage(words.mid(1), &reason);
        ok = !command.message.isNull() || fail(reason);
    } else if (verb == QLatin1String("sleep")) {
        if (words.size() != 1 || !ParseNumber(words.at(0), 0, INT_MAX, &command.number))
            return fail(QStringLiteral("sleep needs milliseconds"));
        command.kind = Sleep;
    } else if (verb == QLatin1String("wait")) {
        command.number = kDefaultWaitMs;
        if (words.isEmpty() || words.size() > 2 ||
            (words.size() == 2 && !ParseNumber(words.at(1), 0, INT_MAX, &command.number)))
            return fail(QStringLiteral("wait needs a message name and, optionally, milliseconds"));
        command.kind = Wait;
        command.name = words.at(0);
    } else if (verb == QLatin1String("exit")) {
        if (words.size() > 1 || (words.size() == 1 && !ParseNumber(words.at(0), 0, 255, &command.number)))
            return fail(QStringLiteral("exit takes an exit code from 0 to 255"));
        command.kind = Exit;
    } else if (verb == QLatin1String("startup")) {
        ok = noArguments(Startup);
    } else if (verb == QLatin1String("crash")) {
        ok = noArguments(Crash);
    } else if (verb == QLatin1String("close-read-pipe")) {
        ok = noArguments(CloseReadPipe);
    } else if (verb == QLatin1String("close-write-pipe")) {
        ok = noArguments(CloseWritePipe);
    } else {
        return fail(QStringLiteral("unknown command \"%1\"").arg(verb));
    }
    if (ok)
        *out = command;
    return ok;
}
