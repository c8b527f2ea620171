#include "ui/GatewayApp.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("Morvanta"));
    app.setApplicationName(QStringLiteral("Kavetta"));
    return runGateway(app);
}
