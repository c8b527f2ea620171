#pragma once

#include "common/ConfigProblem.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QtGlobal>

// The variable map of the Modbus link: which coil or register of which unit each PLC variable
// name stands for (docs/plc-link-modbus.md). A plain text file, one variable per line:
//
//     # name              unit  area     address  type          order
//     Line1.anford        1     coil     0        BOOL
//     Line1.anfordErr     1     holding  1        DINT          CDAB
//     Line1.SendData      1     holding  131      STRING(2000)  AB
//     poll = 20
//
// A map that does not parse is refused as a whole, with one message that names the file, the
// line and the problem.
namespace modbusmap
{

enum class Area { Coil, DiscreteInput, HoldingRegister, InputRegister };
enum class Type { Bool, Int, DInt, String };

constexpr int MaxStringChars = 2000;
constexpr int MaxNameChars = 255;
constexpr int DefaultPollMs = 20;
constexpr int MinPollMs = 5;
constexpr int MaxPollMs = 10000;
// Registers per request as the protocol allows them: 125 read, 123 written.
constexpr int MaxReadRegisters = 125;
constexpr int MaxWriteRegisters = 123;

struct Variable {
    QString name;
    int line = 0;
    int unit = 1;
    Area area = Area::HoldingRegister;
    int address = 0;
    Type type = Type::Int;
    int capacity = 0;       // STRING: characters (bytes in the plants' code page)
    bool swapBytes = false; // DINT, STRING: the low byte of a register comes first
    bool swapWords = false; // DINT: the low word is in the first register

    // Coils or registers the variable takes.
    int count() const;
    bool isBitArea() const { return area == Area::Coil || area == Area::DiscreteInput; }
    bool isWritable() const { return area == Area::Coil || area == Area::HoldingRegister; }
};

QString areaName(Area area);
// "BOOL", "INT", "DINT", "STRING(80)"
QString typeName(const Variable &v);

class VariableMap
{
public:
    // Reads the map file. False with problem set to one message: the file, the line where
    // the first problem is, the problem and how many more the file has.
    bool load(const QString &path, QString &problem);
    // The same for a text already read; `file` is the name the messages use.
    bool parse(const QString &text, const QString &file, QString &problem);

    const QString &file() const { return m_file; }
    // Every problem of the last load or parse, by line (the message above names the first).
    const ConfigProblems &problems() const { return m_problems; }
    const QList<Variable> &variables() const { return m_variables; }
    // Names compare without regard to letter case. Null when the map does not hold the name.
    const Variable *find(const QString &name) const;

    int pollMs() const { return m_pollMs; }
    int maxReadRegisters() const { return m_maxRegisters; }
    int maxWriteRegisters() const { return qMin(m_maxRegisters, MaxWriteRegisters); }

private:
    QString m_file;
    ConfigProblems m_problems;
    QList<Variable> m_variables;
    QHash<QString, int> m_index; // folded name -> position in m_variables
    int m_pollMs = DefaultPollMs;
    int m_maxRegisters = MaxReadRegisters;
};

} // namespace modbusmap
