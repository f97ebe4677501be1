#include "VXFoundation/VXProcessMessage.h"

#include <QByteArray>

#include <limits>
#include <utility>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VX_TEXT_FORM_SSE2 1
#endif

namespace {

// ---------------------------------------------------------------------------------------------
// Scanning: texts are mostly long runs of characters that need no special handling, so both
// directions look for the next special unit eight at a time where SSE2 is there (always on
// x86-64) and finish the last few units one by one.

enum class Stop { AtJsonSpecial, AtJsonSpecialOrSurrogate };

template <Stop stop>
bool IsSpecial(ushort c)
{
    const bool json = c < 0x20 || c == '"' || c == '\\';
    if (stop == Stop::AtJsonSpecial)
        return json;
    return json || (c & 0xF800) == 0xD800;
}

// The first unit in [p, end) that is a control character, a quote or a backslash (and, for
// AtJsonSpecialOrSurrogate, a surrogate), or `end`.
template <Stop stop>
const ushort* SkipPlain(const ushort* p, const ushort* end)
{
#ifdef VX_TEXT_FORM_SSE2
    const __m128i quote = _mm_set1_epi16('"');
    const __m128i backslash = _mm_set1_epi16('\\');
    const __m128i lastControl = _mm_set1_epi16(0x1F);
    const __m128i surrogateMask = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i special = _mm_or_si128(_mm_cmpeq_epi16(v, quote), _mm_cmpeq_epi16(v, backslash));
        special = _mm_or_si128(special, _mm_cmpeq_epi16(_mm_subs_epu16(v, lastControl), zero));  // v <= 0x1F
        if (stop == Stop::AtJsonSpecialOrSurrogate)
            special = _mm_or_si128(special, _mm_cmpeq_epi16(_mm_and_si128(v, surrogateMask), surrogate));
        if (_mm_movemask_epi8(special) != 0)
            break;  // the unit is among these eight: the loop below finds it
        p += 8;
    }
#endif
    while (p != end && !IsSpecial<stop>(*p))
        ++p;
    return p;
}

// ---------------------------------------------------------------------------------------------
// Writing

const char kHex[] = "0123456789abcdef";

void AppendEscapedUnit(QString& out, ushort unit)
{
    const QChar escape[6] = {QLatin1Char('\\'), QLatin1Char('u'),
                             QLatin1Char(kHex[(unit >> 12) & 0xF]), QLatin1Char(kHex[(unit >> 8) & 0xF]),
                             QLatin1Char(kHex[(unit >> 4) & 0xF]), QLatin1Char(kHex[unit & 0xF])};
    out.append(escape, 6);
}

// Appends `text` as the inside of a JSON string. Runs of characters that need no escape - all of
// a typical text - are found by a tight scan and copied in one append.
void AppendJsonStringBody(QString& out, const QChar* text, int length)
{
    const ushort* units = reinterpret_cast<const ushort*>(text);
    if (length > 256)
        out.reserve(out.size() + length + 16);  // one allocation for a long text
    int runStart = 0;
    int i = 0;
    for (;;) {
        i = int(SkipPlain<Stop::AtJsonSpecialOrSurrogate>(units + i, units + length) - units);
        if (i == length)
            break;
        const ushort c = units[i];
        if (QChar::isHighSurrogate(c) && i + 1 < length && QChar::isLowSurrogate(units[i + 1])) {
            i += 2;  // a valid pair is plain text
            continue;
        }
        out.append(text + runStart, i - runStart);
        switch (c) {
        case '"': out.append(QLatin1String("\\\"")); break;
        case '\\': out.append(QLatin1String("\\\\")); break;
        case '\n': out.append(QLatin1String("\\n")); break;
        case '\r': out.append(QLatin1String("\\r")); break;
        case '\t': out.append(QLatin1String("\\t")); break;
        default: AppendEscapedUnit(out, c); break;  // other controls, NUL, unpaired surrogates
        }
        runStart = ++i;
    }
    out.append(text + runStart, length - runStart);
}

void AppendArgument(QString& out, const QVariant& arg)
{
    out.append(QLatin1Char('"'));
    switch (static_cast<int>(arg.type())) {
    case QMetaType::Bool:
        out.append(arg.toBool() ? QLatin1String("b:true") : QLatin1String("b:false"));
        break;
    case QMetaType::Int:
        out.append(QLatin1String("i:"));
        out.append(QString::number(arg.toInt()));
        break;
    case QMetaType::UInt:
        out.append(QLatin1String("u:"));
        out.append(QString::number(arg.toUInt()));
        break;
    case QMetaType::QByteArray:
        out.append(QLatin1String("y:"));
        out.append(QLatin1String(arg.toByteArray().toBase64()));
        break;
    case QMetaType::QString: {
        out.append(QLatin1String("s:"));
        const QString text = arg.toString();
        AppendJsonStringBody(out, text.constData(), text.size());
        break;
    }
    default: {
        out.append(QLatin1String("s:"));
        const QString text = arg.isValid() ? arg.toString() : QString();
        AppendJsonStringBody(out, text.constData(), text.size());
        break;
    }
    }
    out.append(QLatin1Char('"'));
}

// ---------------------------------------------------------------------------------------------
// Reading: a strict recursive-descent reader for `[ "..." (, "...")* ]`. Every step checks the
// end of the input before it reads, and every loop consumes at least one character.

class TextFormReader
{
public:
    TextFormReader(const QChar* begin, const QChar* end) : m_pos(begin), m_end(end) {}

    QSharedPointer<VXProcessMessage> Read()
    {
        SkipSpace();
        if (!Consume('['))
            return {};
        SkipSpace();
        QString name;
        if (!ReadString(name))
            return {};
        QSharedPointer<VXProcessMessage> message = VXProcessMessage::Create(name);
        QList<QVariant>& args = message->GetArgs();
        for (;;) {
            SkipSpace();
            if (Consume(']'))
                break;
            if (!Consume(','))
                return {};
            SkipSpace();
            // A text argument, by far the most common and possibly long, is read straight into
            // its value: the tag is looked at first, so the text is copied once.
            if (m_end - m_pos >= 3 && m_pos[0] == QLatin1Char('"') && m_pos[1] == QLatin1Char('s') &&
                m_pos[2] == QLatin1Char(':')) {
                m_pos += 3;
                QString text;
                if (!ReadStringBody(text))
                    return {};
                args.append(QVariant(std::move(text)));
                continue;
            }
            QString element;
            if (!ReadString(element))
                return {};
            QVariant value;
            if (!DecodeArgument(element, value))
                return {};
            args.append(value);
        }
        SkipSpace();
        if (m_pos != m_end)
            return {};  // trailing garbage
        return message;
    }

private:
    void SkipSpace()
    {
        while (m_pos != m_end) {
            const ushort c = m_pos->unicode();
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                return;
            ++m_pos;
        }
    }

    bool Consume(char expected)
    {
        if (m_pos == m_end || m_pos->unicode() != static_cast<ushort>(expected))
            return false;
        ++m_pos;
        return true;
    }

    static int HexValue(ushort c)
    {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // Reads one JSON string (the opening quote is expected at the current position).
    bool ReadString(QString& out)
    {
        return Consume('"') && ReadStringBody(out);
    }

    // Reads the rest of a JSON string whose opening quote has been consumed, up to and including
    // its closing quote.
    bool ReadStringBody(QString& out)
    {
        const QChar* runStart = m_pos;
        while (m_pos != m_end) {
            m_pos = reinterpret_cast<const QChar*>(SkipPlain<Stop::AtJsonSpecial>(
                reinterpret_cast<const ushort*>(m_pos), reinterpret_cast<const ushort*>(m_end)));
            if (m_pos == m_end)
                break;
            const ushort c = m_pos->unicode();
            if (c == '"') {
                out.append(runStart, int(m_pos - runStart));
                ++m_pos;
                return true;
            }
            if (c < 0x20)
                return false;  // raw control characters are not JSON
            out.append(runStart, int(m_pos - runStart));
            ++m_pos;
            if (m_pos == m_end)
                return false;
            const ushort e = m_pos->unicode();
            ++m_pos;
            switch (e) {
            case '"': out.append(QLatin1Char('"')); break;
            case '\\': out.append(QLatin1Char('\\')); break;
            case '/': out.append(QLatin1Char('/')); break;
            case 'b': out.append(QLatin1Char('\b')); break;
            case 'f': out.append(QLatin1Char('\f')); break;
            case 'n': out.append(QLatin1Char('\n')); break;
            case 'r': out.append(QLatin1Char('\r')); break;
            case 't': out.append(QLatin1Char('\t')); break;
            case 'u': {
                if (m_end - m_pos < 4)
                    return false;
                int unit = 0;
                for (int k = 0; k < 4; ++k) {
                    const int v = HexValue(m_pos[k].unicode());
                    if (v < 0)
                        return false;
                    unit = unit * 16 + v;
                }
                m_pos += 4;
                out.append(QChar(static_cast<ushort>(unit)));
                break;
            }
            default:
                return false;
            }
            runStart = m_pos;
        }
        return false;  // no closing quote
    }

    template <typename T>
    static bool ParseDecimal(const QChar* p, const QChar* end, bool allowNegative, T& out)
    {
        bool negative = false;
        if (p != end && p->unicode() == '-') {
            if (!allowNegative)
                return false;
            negative = true;
            ++p;
        }
        if (p == end)
            return false;
        // Accumulate as a negative magnitude for signed values so that the minimum fits.
        using Wide = long long;
        const Wide limit = negative ? -Wide(std::numeric_limits<T>::min()) : Wide(std::numeric_limits<T>::max());
        Wide magnitude = 0;
        for (; p != end; ++p) {
            const ushort c = p->unicode();
            if (c < '0' || c > '9')
                return false;
            magnitude = magnitude * 10 + (c - '0');
            if (magnitude > limit)
                return false;
        }
        out = static_cast<T>(negative ? -magnitude : magnitude);
        return true;
    }

    static bool DecodeArgument(const QString& element, QVariant& value)
    {
        if (element.size() < 2 || element.at(1) != QLatin1Char(':'))
            return false;
        const QChar* body = element.constData() + 2;
        const QChar* end = element.constData() + element.size();
        switch (element.at(0).unicode()) {
        case 's':
            value = element.mid(2);
            return true;
        case 'b': {
            const QStringRef text = element.midRef(2);
            if (text == QLatin1String("true"))
                value = true;
            else if (text == QLatin1String("false"))
                value = false;
            else
                return false;
            return true;
        }
        case 'i': {
            int number = 0;
            if (!ParseDecimal(body, end, true, number))
                return false;
            value = number;
            return true;
        }
        case 'u': {
            uint number = 0;
            if (!ParseDecimal(body, end, false, number))
                return false;
            value = number;
            return true;
        }
        case 'y': {
            QByteArray encoded;
            encoded.reserve(int(end - body));
            for (const QChar* p = body; p != end; ++p) {
                if (p->unicode() > 0x7F)
                    return false;
                encoded.append(char(p->unicode()));
            }
            if (encoded.size() % 4 != 0)
                return false;
            auto decoded = QByteArray::fromBase64Encoding(
                encoded, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
            if (!decoded)
                return false;
            value = decoded.decoded;
            return true;
        }
        default:
            return false;
        }
    }

    const QChar* m_pos;
    const QChar* m_end;
};

}  // namespace

VXProcessMessage::VXProcessMessage(const QString& name) : m_name(name) {}

VXProcessMessage::~VXProcessMessage() = default;

QSharedPointer<VXProcessMessage> VXProcessMessage::Create(const QString& name)
{
    return QSharedPointer<VXProcessMessage>(new VXProcessMessage(name));
}

QSharedPointer<VXProcessMessage> VXProcessMessage::CreateFromString(const QString& text)
{
    return TextFormReader(text.constData(), text.constData() + text.size()).Read();
}

QString VXProcessMessage::GetName() const
{
    return m_name;
}

QList<QVariant>& VXProcessMessage::GetArgs()
{
    return m_args;
}

QString VXProcessMessage::ToString() const
{
    QString out;
    out.reserve(16 + m_name.size() + 24 * m_args.size());
    out.append(QLatin1String("[\""));
    AppendJsonStringBody(out, m_name.constData(), m_name.size());
    out.append(QLatin1Char('"'));
    for (const QVariant& arg : m_args) {
        out.append(QLatin1Char(','));
        AppendArgument(out, arg);
    }
    out.append(QLatin1Char(']'));
    return out;
}
