#pragma once

#include "core/GatewayRuntime.h"
#include "status/StatusServer.h"

#include <memory>

// The status endpoint as an add-on of a gateway runtime: it reads the runtime's view of the
// instance and follows every reading of the instance options. Only the program's two entry
// files, which link the status endpoint, include this.
inline std::unique_ptr<QObject> createStatusServer(GatewayRuntime &runtime)
{
    struct Endpoint : StatusServer {
        explicit Endpoint(GatewayRuntime &r)
            : StatusServer([&r] { return r.view(); }, r.instanceOptions.status, r.eventLog, r.state),
              runtime(r)
        {
            runtime.onOptionsRead = [this] { apply(); };
        }
        ~Endpoint() override { runtime.onOptionsRead = {}; }
        GatewayRuntime &runtime;
    };
    return std::make_unique<Endpoint>(runtime);
}
