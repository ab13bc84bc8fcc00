// Runs the real console binary as a child process.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

using namespace tests::support;

namespace {

const char* const COMPONENT_USAGE =
    "USAGE: orbitane_[component]_console <args>\n"
    "       orbitane_console [component] <args>\n"
    "\nAvailable components:\n"
    "base    Control bus debug tool\n";

const char* const OPTION_LISTING =
    "Options:\n"
    "    --channel,-c channel\n"
    "                 The communication channel with the base, supported channels: serial, tcp\n\n"
    "       --help,-h help\n"
    "                 Show this message\n\n"
    "       --port,-p port\n"
    "                 The port used to communicate with the base (required for serial and tcp channel)\n\n"
    " --trace-comm,-t trace comm\n"
    "                 Trace communication between host and base\n\n"
    "    --version,-v print version number\n"
    "                 Print version number\n\n"
    "          --host host\n"
    "                 The host used to communicate with the base (required for tcp channel)\n\n";

const char* const COMMAND_LISTING =
    "Available Commands:\n"
    "beacon     Read auto home IR beacon data\n           Read auto home IR beacon data\n"
    "bumper     Read bumper sensor data\n           Read bumper, cliff sensor data\n"
    "config     Read configuration (legacy)\n           Read configuration from base\n"
    "event      event\n           Send Event Cmd\n"
    "monitor    Continiously read sensor data\n           Repeat read all above data and output to the console\n"
    "motor      Read motor information\n           Read motor information, such as wheels' odometry\n"
    "poll       poll\n           Poll Base Cmd\n"
    "run        run\n           Make motor run\n"
    "sensor     Read distance sensor data\n           Read distance sensors' data, such as ultrasonic data\n"
    "status     Read base status\n           Read base status, such as battery, charging status and etc.\n"
    "test       Test all control bus protocol\n           Test base control bus protocol\n"
    "vrun       vrun\n           Vector run. vrun <vx> <vy> <omega> <time>. Units: m/s m/s rad/s s\n";

// Added after the established listings, never among them.
const char* const APPENDED_OPTIONS =
    "         --accel acceleration\n"
    "                 Drive command: acceleration limit in m/s^2 (default 0.5; braking is 4 times as quick)\n\n"
    "--bumper-active-low bumper active low\n"
    "                 Bumper and cliff bits read the other way round: a clear bit is a triggered sensor (drive and "
    "JSON; the bumper listing is unchanged)\n\n"
    "       --capture capture file\n"
    "                 Write every frame, both ways, with its time to this pcap file (link type 147, DLT_USER0; see "
    "orbitane.lua for Wireshark)\n\n"
    "         --count count\n"
    "                 Number of readings of monitor (then it ends with 0) or steps of run and vrun\n\n"
    "           --csv csv\n"
    "                 Write the readings of a reading command or of monitor as CSV to standard output: a header "
    "line, then one row per reading; log lines go to standard error\n\n"
    "        --decode decode\n"
    "                 Write one decoded line per frame sent or received (time, request or answer with its values and "
    "units) to standard error\n\n"
    "       --dry-run dry run\n"
    "                 Drive command: show the view and the velocity it would send, without sending it\n\n"
    "      --duration duration\n"
    "                 Seconds after which monitor starts no further reading and ends with 0\n\n"
    "      --interval interval\n"
    "                 Seconds between the starts of two readings of monitor or steps of run and vrun (default 0: "
    "as fast as the base answers)\n\n"
    "          --json json\n"
    "                 Write every reading as one JSON object per line to standard output; log lines go to standard "
    "error\n\n"
    "    --keep-going keep going\n"
    "                 session: go on after a failing line, from a pipe or a file too; the status is the first "
    "failure's\n\n"
    "          --near near\n"
    "                 Drive command: a distance sensor nearer than this many metres is highlighted, and motion toward "
    "one nearer than half of it is refused (default 0.3)\n\n"
    "           --tag tag\n"
    "                 With --json: add \"tag\": this text (a robot's name, say) to every JSON object\n\n"
    "   --text-column text column\n"
    "                 With -t: show each line of the hex dump as text too, after the hex (printable ASCII as it is, "
    "other bytes as dots)\n\n"
    "    --wall-clock wall clock\n"
    "                 With --json: add \"time\", the UTC time it was written (ISO 8601 with milliseconds), to every "
    "JSON object\n\n";

const char* const APPENDED_COMMANDS =
    "doctor     Check the link to the base\n"
    "           Check device, access, connection, frames and round trips; say what to do at the first failure\n"
    "drive      Drive with the keyboard\n"
    "           Live view of every reading; arrows/WASD drive, space stops, q quits\n"
    "identity   Read base identity\n           Print the model, versions and serial number of the base\n"
    "session    Run commands from standard input\n"
    "           Run one command per line of standard input over one connection (help, quit on a terminal)\n";

std::string usageFor(const std::string& program) {
    return "Orbitane Console 2.0.0_dev\nUsage: " + program + " [options] <command> [cmd_arguments]\n" +
           OPTION_LISTING + APPENDED_OPTIONS + COMMAND_LISTING + APPENDED_COMMANDS;
}

ChildResult console(const std::vector<std::string>& args) {
    return runChild(builtProgram("orbitane_console"), args);
}

const std::string FRAME = "[zorn.orbitane.test.OrbitaneConsoleApplication] ";

// A loopback port with nothing listening on it.
int closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

TEST(Program, ComponentChoice) {
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"foo"}, {"Base"}}) {
        ChildResult r = console(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, COMPONENT_USAGE);
        EXPECT_EQ(r.out, "");
    }
    // The extension is not stripped, so the second name is not recognised.
    ChildResult exe = runChild(builtProgram("orbitane_console"), {"-c", "tcp", "-v"}, std::chrono::seconds(20),
                               "orbitane_base_console.exe");
    EXPECT_EQ(exe.status, 255);
    EXPECT_EQ(exe.err, COMPONENT_USAGE);

    ChildResult named = runChild(builtProgram("orbitane_console"), {"-c", "tcp", "-v"}, std::chrono::seconds(20),
                                 "orbitane_base_console");
    EXPECT_EQ(named.status, 0);
    EXPECT_EQ(named.out, "2.0.0_dev\n");
}

TEST(Program, UsageAndVersion) {
    ChildResult bare = console({"base"});
    EXPECT_EQ(bare.status, 5);
    EXPECT_EQ(bare.err, usageFor("orbitane_console base"));

    ChildResult version = console({"base", "-c", "tcp", "-v"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "2.0.0_dev\n") << "no banner, no connection";
    EXPECT_EQ(version.err, "");
    ChildResult jsonVersion = console({"base", "-c", "tcp", "--json", "-v"});
    EXPECT_EQ(jsonVersion.status, 0);
    EXPECT_EQ(jsonVersion.out, "{\"version\":\"2.0.0_dev\"}\n");
    EXPECT_EQ(jsonVersion.err, "");

    // Help anywhere on the line wins before any channel is opened.
    ChildResult help = console({"base", "-c", "tcp", "status", "--help"});
    EXPECT_EQ(help.status, 5);
    EXPECT_EQ(help.out, "");
    EXPECT_EQ(help.err, usageFor("orbitane_console base"));
}

TEST(Program, OptionErrorsPrintTheMessageThenTheUsage) {
    struct Case {
        std::vector<std::string> args;
        std::string firstLine;
    };
    const std::vector<Case> cases = {
        {{"base", "-v"}, FRAME + "[FATL] No channel specified"},
        {{"base", "-c", "udp", "status"}, FRAME + "[FATL] Unsupported channel: udp"},
        {{"base", "-c", "TCP", "status"}, FRAME + "[FATL] Unsupported channel: TCP"},
        {{"base", "-c", "serial", "status"}, FRAME + "[FATL] Configured to use serial channel, but port not specified"},
        {{"base", "-c", "tcp", "-p", "80x", "status"}, FRAME + "[FATL] Invalid port 80x for tcp channel"},
        {{"base", "-c", "tcp", "-p", "70000", "status"}, FRAME + "[FATL] Invalid port 70000 for tcp channel"},
        {{"base", "-c", "tcp", "status", "-x"}, "Unknown option: -x"},
        {{"base", "status", "-c"}, "Option -c accepts an argument, but not specified"},
    };
    for (const auto& c : cases) {
        ChildResult r = console(c.args);
        EXPECT_EQ(r.status, 5) << c.firstLine;
        EXPECT_EQ(r.err, c.firstLine + "\n" + usageFor("orbitane_console base"));
        EXPECT_EQ(r.out, "");
    }
}

// A connection that cannot be made fails at once, with the reason on the
// line after the failure.
TEST(Program, FailedConnectionsSayWhy) {
    const std::string port = std::to_string(closedPort());
    struct Case {
        std::string host;
        std::string reason;
    };
    for (const Case& c : {Case{"127.0.0.1", "connection refused; nothing listens on that port (is the base, or the "
                                            "simulator, running?)"},
                          // A name that does not resolve has words of its own (.invalid is never looked up).
                          Case{"robot7.invalid", "host name not found (no such host name); check the name (getent "
                                                 "hosts robot7.invalid), or give the base's address"}}) {
        auto started = std::chrono::steady_clock::now();
        ChildResult r = console({"base", "-c", "tcp", "--host", c.host, "-p", port, "status"});
        auto took = std::chrono::steady_clock::now() - started;
        const std::string where = "tcp:" + c.host + ":" + port;
        EXPECT_EQ(r.status, 4);
        EXPECT_EQ(r.out, FRAME + "[INFO] Orbitane Console 2.0.0_dev\n"
                             "[zorn.orbitane.utils.ChannelFactory] [INFO] Connecting to " + where + "...\n");
        EXPECT_EQ(r.err, "[zorn.orbitane.utils.ChannelFactory] [WARN] Failed to connect to tcp server\n"
                         "[zorn.orbitane.utils.ChannelFactory] [WARN] " + c.host + ":" + port + ": " + c.reason +
                             "\n" + FRAME + "[FATL] Failed to connect to " + where + "\n");
        EXPECT_LT(took, std::chrono::seconds(3));
    }
}

// doctor's address step resolves a host name before connecting, and stops
// at one that does not resolve.
TEST(Program, DoctorResolvesTheHostFirst) {
    const std::string port = std::to_string(closedPort());
    const struct {
        const char* host;
        const char* address;  // the address step's line
        const char* stopsAt;
    } cases[] = {
        {"localhost", "[INFO] doctor: address: ok: localhost is 127.0.0.1", "connect"},
        {"robot7.invalid", "[ERRO] doctor: address: FAILED: robot7.invalid does not resolve: no such host name",
         "address"},
    };
    for (const auto& c : cases) {
        ChildResult r = console({"base", "-c", "tcp", "--host", c.host, "-p", port, "doctor"});
        EXPECT_EQ(r.status, 4) << c.host;
        const std::string base = "[zorn.orbitane.test.OrbitaneBaseConsoleApplication] ";
        EXPECT_NE((r.out + r.err).find(base + c.address + "\n"), std::string::npos) << r.out << r.err;
        EXPECT_NE(r.err.find(std::string("doctor: stopped at the ") + c.stopsAt + " check"), std::string::npos) << r.err;
    }
}

TEST(Program, MissingSerialDeviceFailsWithTheReason) {
    ChildResult r = console({"base", "-c", "serial", "-p", "/dev/does-not-exist", "status"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("[WARN] Failed to connect to serial port\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("no such device"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(FRAME + "[FATL] Failed to connect to serial:/dev/does-not-exist\n"), std::string::npos);
}
