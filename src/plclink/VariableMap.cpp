#include "plclink/VariableMap.h"

#include "common/Cp1252.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>

namespace modbusmap
{

int Variable::count() const
{
    switch (type) {
    case Type::Bool:
    case Type::Int:
        return 1;
    case Type::DInt:
        return 2;
    case Type::String:
        return (capacity + 1) / 2;
    }
    return 1;
}

QString areaName(Area area)
{
    switch (area) {
    case Area::Coil:
        return QStringLiteral("coil");
    case Area::DiscreteInput:
        return QStringLiteral("discrete");
    case Area::HoldingRegister:
        return QStringLiteral("holding");
    case Area::InputRegister:
        return QStringLiteral("input");
    }
    return {};
}

QString typeName(const Variable &v)
{
    switch (v.type) {
    case Type::Bool:
        return QStringLiteral("BOOL");
    case Type::Int:
        return QStringLiteral("INT");
    case Type::DInt:
        return QStringLiteral("DINT");
    case Type::String:
        return QStringLiteral("STRING(%1)").arg(v.capacity);
    }
    return {};
}

namespace
{

// Decimal, or hexadecimal with 0x in front (addresses are often listed that way).
bool parseNumber(const QString &text, int min, int max, int &value)
{
    bool ok = false;
    const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const qlonglong n = hex ? text.mid(2).toLongLong(&ok, 16) : text.toLongLong(&ok, 10);
    if (!ok || n < min || n > max || (!hex && text.startsWith(QLatin1Char('+'))))
        return false;
    value = int(n);
    return true;
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString rangeText(const Variable &v, int first, int last)
{
    const QString what =
        v.isBitArea() ? (v.area == Area::Coil ? QStringLiteral("coils") : QStringLiteral("discrete inputs"))
                      : (v.area == Area::HoldingRegister ? QStringLiteral("holding registers")
                                                         : QStringLiteral("input registers"));
    return QStringLiteral("%1 %2..%3 of unit %4").arg(what).arg(first).arg(last).arg(v.unit);
}

struct Problem {
    int line;
    QString text;
};

class Parser
{
public:
    void line(int number, QString text);
    void checkOverlaps();

    QList<Variable> variables;
    QHash<QString, int> index;
    int pollMs = DefaultPollMs;
    int maxRegisters = MaxReadRegisters;
    QList<Problem> problems;

private:
    void setting(int number, const QString &key, const QString &value);
    bool variable(int number, const QStringList &fields, Variable &v);
    void fail(int number, const QString &text) { problems.append({number, text}); }
};

void Parser::line(int number, QString text)
{
    const qsizetype hash = text.indexOf(QLatin1Char('#'));
    if (hash >= 0)
        text.truncate(hash);
    text = text.trimmed();
    if (text.isEmpty())
        return;
    const qsizetype eq = text.indexOf(QLatin1Char('='));
    if (eq >= 0) {
        setting(number, text.left(eq).trimmed(), text.mid(eq + 1).trimmed());
        return;
    }
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    Variable v;
    if (!variable(number, text.split(blanks), v))
        return;
    const QString key = v.name.toCaseFolded();
    const auto it = index.constFind(key);
    if (it != index.constEnd()) {
        fail(number, QStringLiteral("%1 is already defined in line %2").arg(v.name).arg(variables[*it].line));
        return;
    }
    index.insert(key, int(variables.size()));
    variables.append(v);
}

void Parser::setting(int number, const QString &key, const QString &value)
{
    if (key.compare(QLatin1String("poll"), Qt::CaseInsensitive) == 0) {
        if (!parseNumber(value, MinPollMs, MaxPollMs, pollMs))
            fail(number, QStringLiteral("poll = %1 is not a period of %2..%3 milliseconds")
                             .arg(value)
                             .arg(MinPollMs)
                             .arg(MaxPollMs));
        return;
    }
    if (key.compare(QLatin1String("max_registers"), Qt::CaseInsensitive) == 0) {
        if (!parseNumber(value, 1, MaxReadRegisters, maxRegisters))
            fail(number, QStringLiteral("max_registers = %1 is not a count of 1..%2")
                             .arg(value)
                             .arg(MaxReadRegisters));
        return;
    }
    fail(number, QStringLiteral("unknown setting %1 (poll or max_registers)").arg(quoted(key)));
}

bool Parser::variable(int number, const QStringList &fields, Variable &v)
{
    if (fields.size() < 5) {
        fail(number, QStringLiteral("expected NAME UNIT AREA ADDRESS TYPE [ORDER], found %1 field%2")
                         .arg(fields.size())
                         .arg(fields.size() == 1 ? "" : "s"));
        return false;
    }
    if (fields.size() > 6) {
        fail(number, QStringLiteral("unexpected %1 after the order").arg(quoted(fields[6])));
        return false;
    }
    v.line = number;
    v.name = fields[0];
    if (v.name.size() > MaxNameChars) {
        fail(number, QStringLiteral("the name is longer than %1 characters").arg(MaxNameChars));
        return false;
    }
    // Unit 0..247 addresses a device; 255 is the usual "this device" unit of Modbus/TCP.
    if (!parseNumber(fields[1], 0, 255, v.unit) || (v.unit > 247 && v.unit != 255)) {
        fail(number, QStringLiteral("unit %1 is not 0..247 or 255").arg(quoted(fields[1])));
        return false;
    }

    static const QHash<QString, Area> areas{{QStringLiteral("coil"), Area::Coil},
                                            {QStringLiteral("discrete"), Area::DiscreteInput},
                                            {QStringLiteral("holding"), Area::HoldingRegister},
                                            {QStringLiteral("input"), Area::InputRegister}};
    const auto area = areas.constFind(fields[2].toLower());
    if (area == areas.constEnd()) {
        fail(number,
             QStringLiteral("unknown area %1 (coil, discrete, holding or input)").arg(quoted(fields[2])));
        return false;
    }
    v.area = *area;
    if (!parseNumber(fields[3], 0, 65535, v.address)) {
        fail(number, QStringLiteral("address %1 is not 0..65535").arg(quoted(fields[3])));
        return false;
    }

    static const QRegularExpression stringType(QStringLiteral("^STRING\\((\\d{1,9})\\)$"),
                                               QRegularExpression::CaseInsensitiveOption);
    const QString type = fields[4].toUpper();
    if (type == QLatin1String("BOOL")) {
        v.type = Type::Bool;
    } else if (type == QLatin1String("INT")) {
        v.type = Type::Int;
    } else if (type == QLatin1String("DINT")) {
        v.type = Type::DInt;
    } else if (const QRegularExpressionMatch m = stringType.match(type); m.hasMatch()) {
        v.type = Type::String;
        v.capacity = m.captured(1).toInt();
        if (v.capacity < 1 || v.capacity > MaxStringChars) {
            fail(number,
                 QStringLiteral("%1 is not 1..%2 characters long").arg(fields[4]).arg(MaxStringChars));
            return false;
        }
    } else if (type == QLatin1String("STRING")) {
        fail(number, QStringLiteral("STRING needs its length in characters, for example STRING(80)"));
        return false;
    } else {
        fail(number, QStringLiteral("unknown type %1 (BOOL, INT, DINT or STRING(n))").arg(quoted(fields[4])));
        return false;
    }
    if (v.type != Type::Bool && v.isBitArea()) {
        fail(number, QStringLiteral("%1 needs a register area (holding or input), not %2")
                         .arg(typeName(v), areaName(v.area)));
        return false;
    }
    if (v.address + v.count() - 1 > 65535) {
        fail(number, QStringLiteral("%1 at address %2 takes %3 registers and ends beyond address 65535")
                         .arg(typeName(v))
                         .arg(v.address)
                         .arg(v.count()));
        return false;
    }

    if (fields.size() == 6) {
        const QString order = fields[5].toUpper();
        if (v.type == Type::DInt) {
            static const QStringList orders{QStringLiteral("ABCD"), QStringLiteral("BADC"),
                                            QStringLiteral("CDAB"), QStringLiteral("DCBA")};
            const qsizetype i = orders.indexOf(order);
            if (i < 0) {
                fail(number, QStringLiteral("order %1 does not fit DINT (ABCD, CDAB, BADC or DCBA)")
                                 .arg(quoted(fields[5])));
                return false;
            }
            v.swapBytes = i % 2 == 1;
            v.swapWords = i >= 2;
        } else if (v.type == Type::String) {
            if (order != QLatin1String("AB") && order != QLatin1String("BA")) {
                fail(number,
                     QStringLiteral("order %1 does not fit STRING (AB or BA)").arg(quoted(fields[5])));
                return false;
            }
            v.swapBytes = order == QLatin1String("BA");
        } else {
            fail(number, QStringLiteral("%1 takes no order (only DINT and STRING do); found %2")
                             .arg(typeName(v), quoted(fields[5])));
            return false;
        }
    }
    return true;
}

void Parser::checkOverlaps()
{
    QList<const Variable *> sorted;
    for (const Variable &v : variables)
        sorted.append(&v);
    std::sort(sorted.begin(), sorted.end(), [](const Variable *a, const Variable *b) {
        return std::tie(a->unit, a->area, a->address, a->line) <
               std::tie(b->unit, b->area, b->address, b->line);
    });
    // Each item against the one of the same table that reaches furthest before it.
    const Variable *reach = nullptr;
    for (const Variable *v : sorted) {
        if (reach && reach->unit == v->unit && reach->area == v->area &&
            reach->address + reach->count() > v->address) {
            const Variable *later = reach->line > v->line ? reach : v;
            const Variable *earlier = later == v ? reach : v;
            const int last = qMin(reach->address + reach->count(), v->address + v->count()) - 1;
            fail(later->line, QStringLiteral("%1 overlaps %2 (line %3) in %4")
                                  .arg(later->name, earlier->name)
                                  .arg(earlier->line)
                                  .arg(rangeText(*v, v->address, last)));
        }
        if (!reach || reach->unit != v->unit || reach->area != v->area ||
            v->address + v->count() > reach->address + reach->count())
            reach = v;
    }
}

} // namespace

bool VariableMap::load(const QString &path, QString &problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_file = path;
        m_variables.clear();
        m_index.clear();
        problem = QStringLiteral("Modbus map %1: cannot be read (%2)").arg(path, file.errorString());
        m_problems = {{path, 0, QStringLiteral("cannot be read (%1)").arg(file.errorString())}};
        return false;
    }
    const QByteArray bytes = file.readAll();
    // Written by hand on Linux (UTF-8) or taken over from a Windows tool (the plants' code page).
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        text = cp1252::decode(bytes);
    return parse(text, path, problem);
}

bool VariableMap::parse(const QString &text, const QString &file, QString &problem)
{
    m_file = file;
    m_problems.clear();
    m_variables.clear();
    m_index.clear();
    m_pollMs = DefaultPollMs;
    m_maxRegisters = MaxReadRegisters;
    problem.clear();

    Parser parser;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i)
        parser.line(i + 1, lines[i]);
    parser.checkOverlaps();

    if (!parser.problems.isEmpty()) {
        std::stable_sort(parser.problems.begin(), parser.problems.end(),
                         [](const Problem &a, const Problem &b) { return a.line < b.line; });
        for (const Problem &p : std::as_const(parser.problems))
            m_problems.append({file, p.line, p.text});
        const Problem &first = parser.problems.first();
        problem = QStringLiteral("Modbus map %1, line %2: %3").arg(file).arg(first.line).arg(first.text);
        const qsizetype more = parser.problems.size() - 1;
        if (more > 0)
            problem += QStringLiteral(" (and %1 more problem%2)").arg(more).arg(more == 1 ? "" : "s");
        return false;
    }
    m_variables = std::move(parser.variables);
    m_index = std::move(parser.index);
    m_pollMs = parser.pollMs;
    m_maxRegisters = parser.maxRegisters;
    return true;
}

const Variable *VariableMap::find(const QString &name) const
{
    const auto it = m_index.constFind(name.toCaseFolded());
    return it == m_index.constEnd() ? nullptr : &m_variables[*it];
}

} // namespace modbusmap
