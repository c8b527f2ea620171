// The windowed gateway as a module of its own: the program loads it only when there is a display,
// so a gateway running as a service never loads the widget library.
#include "app/HandlerTiming.h"
#include "app/InstanceCheck.h"
#include "app/StatusAddOn.h"
#include "ui/GatewayApp.h"

#include <QApplication>

extern "C" __attribute__((visibility("default"))) int kavettaRunWindow(int argc, char **argv)
{
    TimedApplication<QApplication> app(argc, argv);
    app.setOrganizationName(QStringLiteral("Morvanta"));
    app.setApplicationName(QStringLiteral("Kavetta"));
    InstanceCheck instances;
    return runGateway(app, instances, createStatusServer);
}
