#pragma once

#include <QObject>

#include <functional>
#include <memory>

class GatewayRuntime;

// Something the program adds to a gateway runtime that the core itself does not link (the
// status endpoint): made once the runtime exists, destroyed before it.
using RuntimeAddOn = std::function<std::unique_ptr<QObject>(GatewayRuntime &)>;
