#include "app/HandlerTiming.h"
#include "app/HeadlessApp.h"
#include "app/StatusAddOn.h"
#include "startup/CommandLineInfo.h"
#include "startup/ConfigCheck.h"
#include "startup/SettingsCommand.h"

#include <QCoreApplication>
#include <QHashSeed>

#include <cstdio>
#include <dlfcn.h>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace
{

using WindowEntry = int (*)(int, char **);

std::string programDir()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    std::string p(path, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/'));
}

// The window module beside the program (a build tree), else where the installation puts it:
// KAVETTA_MODULE_DIR is relative to the program's folder, so an installation under any prefix
// (the package's /usr, a hand-made /usr/local) finds its own module.
WindowEntry loadWindow(std::string &why)
{
    const std::string here = programDir();
    for (const std::string &dir : {here, here + "/" KAVETTA_MODULE_DIR}) {
        const std::string file = dir + "/kavetta-window.so";
        if (::access(file.c_str(), R_OK) != 0)
            continue;
        void *module = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            const char *error = ::dlerror();
            why = error ? error : file;
            return nullptr;
        }
        if (auto entry = reinterpret_cast<WindowEntry>(::dlsym(module, "kavettaRunWindow")))
            return entry;
        why = file + ": no entry";
        return nullptr;
    }
    why = "kavetta-window.so not found";
    return nullptr;
}

// The soft descriptor limit up to the hard one: a connection to the printer or the PLC must
// find a descriptor, whatever else holds some (status clients, log files, the journal).
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Every block of a megabyte or more (a label, a report line that shows one) is a mapping of its
// own that goes back to the system when it is freed. By default the C library moves that bound up
// to the largest block freed so far; from then on such blocks come from the heap, whose free top
// stays resident up to twice that size: a gateway that had sent one large label went on holding
// several times its size.
void returnLargeBlocks()
{
    (void)::mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
}

} // namespace

int main(int argc, char *argv[])
{
    if (const auto code = handleInfoArgument(argc, argv))
        return *code;
    raiseDescriptorLimit();
    if (argc >= 2 && std::string(argv[1]) == "--check") {
        QCoreApplication app(argc, argv);
        return runConfigCheck(app.arguments().mid(2));
    }
    if (argc >= 2 && std::string(argv[1]) == "--settings") {
        QCoreApplication app(argc, argv);
        return runSettingsCommand(app.arguments().mid(2));
    }
    // Documents built from templates come out the same on every run: the XML writer orders
    // attributes by hash.
    QHashSeed::setDeterministicGlobalSeed();
    returnLargeBlocks();
    if (!headlessRequested()) {
        std::string why;
        if (const WindowEntry run = loadWindow(why))
            return run(argc, argv);
        std::fprintf(stderr, "kavetta: cannot load the window (%s); running without one\n", why.c_str());
    }
    // Without a window nothing needs the GLib main loop, and Qt's own poll() loop costs fewer
    // system calls and less locking on every wake-up: with many instances on one PC each answer
    // waits for several of them. Children of the gateway get the environment as it was.
    const QByteArray glibChoice = qgetenv("QT_NO_GLIB");
    const bool glibChoiceSet = qEnvironmentVariableIsSet("QT_NO_GLIB");
    qputenv("QT_NO_GLIB", "1");
    TimedApplication<QCoreApplication> app(argc, argv);
    if (glibChoiceSet)
        qputenv("QT_NO_GLIB", glibChoice);
    else
        qunsetenv("QT_NO_GLIB");
    app.setOrganizationName(QStringLiteral("Morvanta"));
    app.setApplicationName(QStringLiteral("Kavetta"));
    return runHeadless(app, createStatusServer);
}
