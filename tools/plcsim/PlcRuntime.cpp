#include "PlcRuntime.h"

#include "common/Cp1252.h"

#include <QFile>
#include <QRegularExpression>

using namespace plcproto;

bool PlcRuntime::declare(const QString &name, VarType type, quint32 capacity, QString *error)
{
    const QString key = name.toLower();
    if (name.isEmpty() || cp1252::encode(name).size() > MaxNameBytes) {
        if (error)
            *error = QStringLiteral("invalid name");
        return false;
    }
    if (m_index.contains(key)) {
        if (error)
            *error = QStringLiteral("duplicate name %1").arg(name);
        return false;
    }
    if (type == VarType::String && (capacity < 1 || capacity > quint32(MaxStringCapacity))) {
        if (error)
            *error = QStringLiteral("STRING capacity must be 1..%1").arg(MaxStringCapacity);
        return false;
    }
    Variable v;
    v.name = name;
    v.type = type;
    v.capacity = type == VarType::String ? capacity : 0;
    v.value.type = type;
    m_index.insert(key, int(m_vars.size()));
    m_vars.append(v);
    return true;
}

void PlcRuntime::declareModule(const QString &module)
{
    declare(module + QLatin1String(".anford"), VarType::Bool, 0);
    declare(module + QLatin1String(".SendData"), VarType::String, 2000);
    declare(module + QLatin1String(".ConnectStatus"), VarType::Int, 0);
    declare(module + QLatin1String(".RecData"), VarType::String, 2000);
    declare(module + QLatin1String(".antwort"), VarType::Bool, 0);
    declare(module + QLatin1String(".anfordErr"), VarType::DInt, 0);
    declare(module + QLatin1String(".anfordErrText"), VarType::String, 255);
}

bool PlcRuntime::loadDeclarations(const QString &path, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    static const QRegularExpression line(QStringLiteral(R"(^\s*(\S+)\s+(\S+)\s*(?::=\s*(.*?))?\s*$)"));
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        QString text = QString::fromUtf8(file.readLine());
        if (text.endsWith(QLatin1Char('\n')))
            text.chop(1);
        if (text.trimmed().isEmpty() || text.trimmed().startsWith(QLatin1Char('#')))
            continue;
        const QRegularExpressionMatch m = line.match(text);
        VarType type;
        quint32 capacity = 0;
        QString why;
        if (!m.hasMatch()) {
            why = QStringLiteral("expected NAME TYPE [:= VALUE]");
        } else if (!parseType(m.captured(2), type, capacity)) {
            why = QStringLiteral("unknown type %1").arg(m.captured(2));
        } else if (declare(m.captured(1), type, capacity, &why)) {
            if (m.hasCaptured(3) && !m.captured(3).isEmpty()) {
                Value v;
                bool changed = false;
                const int index = int(m_vars.size()) - 1;
                if (!parseValue(m_vars[index], m.captured(3), v) || write(index, v, changed) != Ok)
                    why = QStringLiteral("invalid initial value");
            }
        }
        if (!why.isEmpty()) {
            error = QStringLiteral("%1:%2: %3").arg(path).arg(number).arg(why);
            return false;
        }
    }
    return true;
}

int PlcRuntime::find(const QString &name) const
{
    return m_index.value(name.toLower(), -1);
}

qint32 PlcRuntime::write(int index, const Value &value, bool &changed)
{
    changed = false;
    Variable &var = m_vars[index];
    Value stored = value;
    // An INT value fits a DINT; nothing else converts.
    if (value.type == VarType::Int && var.type == VarType::DInt)
        stored.type = VarType::DInt;
    if (stored.type != var.type)
        return WrongType;
    if (var.type == VarType::String && quint32(stored.text.size()) > var.capacity)
        return ValueTooLong;
    changed = !(stored == var.value);
    var.value = stored;
    return Ok;
}

qint32 PlcRuntime::read(int index, VarType expected, Value &value) const
{
    const Variable &var = m_vars[index];
    if (var.type != expected)
        return WrongType;
    value = var.value;
    return Ok;
}

bool PlcRuntime::parseType(const QString &text, VarType &type, quint32 &capacity)
{
    const QString t = text.trimmed().toUpper();
    capacity = 0;
    if (t == QLatin1String("BOOL")) {
        type = VarType::Bool;
        return true;
    }
    if (t == QLatin1String("INT")) {
        type = VarType::Int;
        return true;
    }
    if (t == QLatin1String("DINT")) {
        type = VarType::DInt;
        return true;
    }
    static const QRegularExpression str(QStringLiteral(R"(^STRING(?:\((\d+)\))?$)"));
    const QRegularExpressionMatch m = str.match(t);
    if (!m.hasMatch())
        return false;
    type = VarType::String;
    // An undeclared length is the usual default of PLC strings.
    capacity = m.hasCaptured(1) ? m.captured(1).toUInt() : 80;
    return capacity >= 1 && capacity <= quint32(MaxStringCapacity);
}

bool PlcRuntime::parseValue(const Variable &var, const QString &text, Value &value)
{
    value = Value{};
    value.type = var.type;
    bool ok = false;
    switch (var.type) {
    case VarType::Bool: {
        const QString t = text.trimmed().toLower();
        if (t == QLatin1String("true") || t == QLatin1String("1"))
            value.number = 1;
        else if (t == QLatin1String("false") || t == QLatin1String("0"))
            value.number = 0;
        else
            return false;
        return true;
    }
    case VarType::Int:
        value.number = text.trimmed().toShort(&ok);
        return ok;
    case VarType::DInt:
        value.number = text.trimmed().toInt(&ok);
        return ok;
    case VarType::String:
        return unescape(text, value.text);
    }
    return false;
}

QString PlcRuntime::formatValue(const Value &value)
{
    switch (value.type) {
    case VarType::Bool:
        return value.number ? QStringLiteral("true") : QStringLiteral("false");
    case VarType::Int:
    case VarType::DInt:
        return QString::number(value.number);
    case VarType::String:
        return escape(value.text);
    }
    return {};
}

QString PlcRuntime::escape(const QByteArray &bytes)
{
    const QString text = cp1252::decode(bytes);
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        case 0:
            out += QLatin1String("\\0");
            break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out;
}

bool PlcRuntime::unescape(const QString &text, QByteArray &bytes)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\\')) {
            out += c;
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text.at(i).unicode()) {
        case '\\':
            out += QLatin1Char('\\');
            break;
        case 'n':
            out += QLatin1Char('\n');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case '0':
            out += QChar(0);
            break;
        case 'x': {
            bool ok = false;
            const QString hex = text.mid(i + 1, 2);
            const uint v = hex.toUInt(&ok, 16);
            if (!ok || hex.size() != 2)
                return false;
            out += QChar(char16_t(v));
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    bytes = cp1252::encode(out);
    return true;
}
