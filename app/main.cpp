#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "app/ExitStatus.h"
#include "app/Interrupt.h"
#include "console/MotionHooks.h"
#include "console/OrbitaneBaseConsoleApplication.h"
#include "lib/BaseOverLink.h"

#ifdef ORBITANE_HAVE_LIBUSB
#include <libusb.h>

namespace {
// The default libusb context lives from before main to process exit. Its
// event thread starts with every signal blocked: signals are the main thread's.
struct LibusbContext {
    LibusbContext() {
        zorn::orbitane::test::SignalsBlockedScope blocked;
        libusb_init(nullptr);
    }
    ~LibusbContext() { libusb_exit(nullptr); }
} g_libusbContext;
}  // namespace
#endif

namespace {

std::string programBaseName(const char* argv0) {
    std::string name = argv0 != nullptr ? argv0 : "";
    size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) {
        name = name.substr(slash + 1);
    }
    size_t backslash = name.find_last_of('\\');
    if (backslash != std::string::npos) {
        name = name.substr(backslash + 1);
    }
    return name;
}

void printComponentUsage() {
    std::fprintf(stderr, "USAGE: orbitane_[component]_console <args>\n");
    std::fprintf(stderr, "       orbitane_console [component] <args>\n");
    std::fprintf(stderr, "\nAvailable components:\n");
    std::fprintf(stderr, "base    Control bus debug tool\n");
}

// The console's commands reach the base through the library's Base, over
// the link the console opened (it traces and records that medium itself).
orbitane::Base baseOverConsoleLink(zorn::net::Link& link, const std::string& channel, bool showDecodedConfig) {
    return orbitane::detail::baseOverLink(link, channel, zorn::orbitane::test::consoleMotionHooks(),
                                          showDecodedConfig);
}

int runBaseConsole(int argc, const char* const* argv) {
    zorn::orbitane::test::OrbitaneBaseConsoleApplication application(baseOverConsoleLink);
    return application.run(argc, argv);
}

int dispatch(int argc, char** argv) {
    int result;
    if (programBaseName(argc > 0 ? argv[0] : nullptr) == "orbitane_base_console") {
        result = runBaseConsole(argc, argv);
    } else if (argc <= 1) {
        printComponentUsage();
        result = zorn::orbitane::test::STATUS_COMPONENT_USAGE;
    } else if (std::strcmp(argv[1], "base") == 0) {
        argv[1] = const_cast<char*>("orbitane_console base");
        result = runBaseConsole(argc - 1, argv + 1);
    } else {
        printComponentUsage();
        result = zorn::orbitane::test::STATUS_COMPONENT_USAGE;
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    zorn::orbitane::test::installProcessSignalHandling();
    int result;
    try {
        result = dispatch(argc, argv);
    } catch (const std::exception& e) {
        // Commands catch their own; this is the last line of defence for the
        // frame around them, so the process never ends by an abort.
        std::fprintf(stderr, "orbitane_console: internal error: %s\n", e.what());
        result = zorn::orbitane::test::STATUS_INTERNAL_ERROR;
    }
    return zorn::orbitane::test::toProcessStatus(result);
}
