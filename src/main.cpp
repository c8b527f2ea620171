#include "core/HeadlessApp.h"
#include "startup/CommandLineInfo.h"
#include "ui/GatewayApp.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (const auto code = handleInfoArgument(argc, argv))
        return *code;
    const auto name = [](QCoreApplication &app) {
        app.setOrganizationName(QStringLiteral("Morvanta"));
        app.setApplicationName(QStringLiteral("Kavetta"));
    };
    if (headlessRequested()) {
        QCoreApplication app(argc, argv);
        name(app);
        return runHeadless(app);
    }
    QApplication app(argc, argv);
    name(app);
    return runGateway(app);
}
