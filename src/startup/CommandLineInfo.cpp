#include "startup/CommandLineInfo.h"

#include <cerrno>
#include <cstring>

namespace
{

std::string_view baseName(std::string_view program)
{
    const auto slash = program.find_last_of('/');
    if (slash != std::string_view::npos)
        program.remove_prefix(slash + 1);
    return program.empty() ? std::string_view("kavetta") : program;
}

} // namespace

std::string usageText(std::string_view program)
{
    const std::string name(baseName(program));
    const std::string indent(name.size() + 8, ' ');
    std::string text;
    text += "Usage: " + name + " [CONFIGURATION.zelb]\n";
    text += indent + "-REGSERVER\n";
    text += indent + "--check [--json] [CONFIGURATION.zelb]\n";
    text += indent + "--settings get|set|apply [--json] CONFIGURATION.zelb ...\n";
    text += indent + "--help | --version\n";
    text += "\n"
            "Couples a PLC program with one TCP peer, usually a label printer.\n"
            "Only the first argument is looked at:\n"
            "  CONFIGURATION.zelb  the configuration file of this instance (any argument\n"
            "                      longer than 5 characters that contains \".zelb\" in any\n"
            "                      case); default: Kavetta.zelb in the program folder\n"
            "  -REGSERVER          register the .zelb file type with the desktop and end\n"
            "                      (also /REGSERVER, in any case)\n"
            "  --check             read the configuration file, the instance options (.ini)\n"
            "                      and Modbus map (.modbus) beside it, Labels/ and the print\n"
            "                      data database, start nothing, and list every problem with\n"
            "                      file, line and reason; exit 0 without errors, 1 with any\n"
            "                      (--json: the same as JSON)\n"
            "  --settings          read or change the settings of the configuration file and\n"
            "                      its options file, checked as --check checks them:\n"
            "                      get CONFIG, set CONFIG NAME=VALUE..., apply CONFIG\n"
            "                      FILE.json; see kavetta(1)\n"
            "  --help              show this text and end\n"
            "  --version           show the version and end\n"
            "\n"
            "Environment:\n"
            "  KAVETTA_HOME        the program folder: configuration file, communication log,\n"
            "                      backups, Labels/ (default: the folder of the executable)\n"
            "  KAVETTA_EVENTLOG    write the event log entries to this file instead of syslog\n"
            "  KAVETTA_HEADLESS    1: run without any window; so does a session without\n"
            "                      DISPLAY and WAYLAND_DISPLAY\n"
            "  KAVETTA_HANDLER_TIMING  1: time every event handler and write the longest to\n"
            "                      standard error when the program ends\n";
    return text;
}

std::string versionText(std::string_view program)
{
    return std::string(baseName(program)) + ' ' + std::to_string(KAVETTA_VERSION_MAJOR) + '.' +
           std::to_string(KAVETTA_VERSION_MINOR) + '.' + std::to_string(KAVETTA_VERSION_PATCH) + '\n';
}

std::optional<int> handleInfoArgument(int argc, char **argv, std::FILE *out)
{
    if (argc < 2 || argv == nullptr || argv[1] == nullptr)
        return std::nullopt;
    const std::string_view program = argv[0] != nullptr ? argv[0] : "";
    const std::string_view argument = argv[1];

    std::string text;
    if (argument == "--help")
        text = usageText(program);
    else if (argument == "--version")
        text = versionText(program);
    else
        return std::nullopt;

    // A closed or full output (kavetta --help > /dev/full) is a failure, not silence.
    const bool written = std::fputs(text.c_str(), out) >= 0 && std::fflush(out) == 0;
    if (written)
        return 0;
    std::fprintf(stderr, "%s: cannot write: %s\n", std::string(baseName(program)).c_str(),
                 std::strerror(errno));
    return 1;
}
