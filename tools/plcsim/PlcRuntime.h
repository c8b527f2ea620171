#pragma once

#include "plclink/PlcProtocol.h"

#include <QHash>
#include <QString>
#include <QVector>

// The variables and the program state of the stand-in runtime.
class PlcRuntime
{
public:
    struct Variable {
        QString name;
        plcproto::VarType type = plcproto::VarType::Bool;
        quint32 capacity = 0; // STRING(n): n bytes
        plcproto::Value value;
    };

    // False when the name is taken (any letter case) or the declaration is unusable.
    bool declare(const QString &name, plcproto::VarType type, quint32 capacity, QString *error = nullptr);
    // The seven variables of one gateway instance, named module + suffix.
    void declareModule(const QString &module);
    // Lines "NAME TYPE [:= VALUE]"; '#' starts a comment. error names file and line.
    bool loadDeclarations(const QString &path, QString &error);

    // Index of the variable or -1; names compare without regard to letter case.
    int find(const QString &name) const;
    int count() const { return int(m_vars.size()); }
    const Variable &variable(int index) const { return m_vars[index]; }

    // Type and capacity are checked here; changed tells whether the stored value differs now.
    qint32 write(int index, const plcproto::Value &value, bool &changed);
    qint32 read(int index, plcproto::VarType expected, plcproto::Value &value) const;

    bool running() const { return m_running; }
    quint32 runId() const { return m_runId; }
    void stop() { m_running = false; }
    void start()
    {
        m_running = true;
        ++m_runId;
    }

    static bool parseType(const QString &text, plcproto::VarType &type, quint32 &capacity);
    // Text form of values on the command line and in the output: BOOL true/false, numbers in
    // decimal, strings with backslash escapes (\\ \n \r \t \0 \xHH) so that one value is one line.
    static bool parseValue(const Variable &var, const QString &text, plcproto::Value &value);
    static QString formatValue(const plcproto::Value &value);
    static QString escape(const QByteArray &bytes);
    static bool unescape(const QString &text, QByteArray &bytes);

private:
    QVector<Variable> m_vars;
    QHash<QString, int> m_index;
    bool m_running = true;
    quint32 m_runId = 1;
};
