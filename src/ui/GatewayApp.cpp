#include "ui/GatewayApp.h"

#include <QApplication>

int runGateway(QApplication &app)
{
    return app.exec();
}
