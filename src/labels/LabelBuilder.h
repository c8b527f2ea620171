#pragma once

#include "labels/LabelCommands.h"
#include "labels/PlaceholderText.h"
#include "labels/XmlTemplate.h"

#include <QHash>
#include <QString>

class GatewayState;
class LogWriter;
class PrintDataLookup;
class SocketEndpoint;

// The label commands of the request cycle.
//
// "/SetLabel=<version>#<template>#<lot>#<part>" fills a label template from
// "<program folder>/Labels/" (defaultLabel.xml when the name is empty) with the version and the
// symbol=value lines of the print data of that lot and part; "/SetJob=<version>#<job name>"
// fills "<program folder>/Labels/defaultSetJob.xml". Each document is framed with
// "Content-Length: <n>\n\n" and appended to sendQueue; settings.sendUtf8 sends it as UTF-8, and the
// length then counts bytes. A request that cannot be served leaves its message in lblError,
// queues nothing and returns 1. With requirePrintData (instance options) a label whose print
// data is missing is such a request.
class LabelBuilder : public LabelCommands
{
public:
    LabelBuilder(GatewayState &state, LogWriter &log, const SocketEndpoint &socket,
                 PrintDataLookup &printData, const QString &programFolder);

    qint32 setLabelContent(const QString &request) override;
    qint32 setJob(const QString &request) override;

    // The part number field as a 16-bit integer: a number rounded to the nearest integer (ties
    // to even); anything that is not a number or lies outside -32768..32767 gives 0.
    static qint16 partNumber(const QString &field);

private:
    qint32 reject(const QString &message);
    void queueDocument(QString text);
    const PlaceholderText &placeholders(const QString &name, const QString &xml);

    GatewayState &m_state;
    LogWriter &m_log;
    const SocketEndpoint &m_socket;
    PrintDataLookup &m_printData;
    QString m_labelFolder;
    XmlTemplateLoader m_templates;
    QHash<QString, PlaceholderText> m_placeholders; // by template name
};
