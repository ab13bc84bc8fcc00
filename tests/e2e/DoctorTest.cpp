// doctor against the simulated base with one fault per case: each case
// builds a link, runs `doctor --json` on it and checks the step it stops at,
// the exit status and what it says, or the warnings of a link that passes.
// Peers that are no base (a looped-back line, a web server) are small TCP
// servers of the test's own.
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "E2eSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/JsonText.h"

namespace tests {
namespace e2e {
namespace {

using namespace std::chrono_literals;
namespace sim = zorn::orbitane::sim;

// Something other than a base on 127.0.0.1: it sends back what it
// receives (a line whose TX is looped back to RX), or answers it with a
// web server's text and hangs up.
class TcpPeer {
public:
    enum class Kind { Echo, WebServer };
    explicit TcpPeer(Kind kind) : kind_(kind) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listenFd_, 4) != 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error("the peer cannot listen");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~TcpPeer() {
        stopping_ = true;
        ::shutdown(listenFd_, SHUT_RDWR);
        thread_.join();
        ::close(listenFd_);
    }
    uint16_t port() const { return port_; }

private:
    // Waits for `fd` to be readable; false once the peer is stopping.
    bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        while (!stopping_) {
            if (::poll(&p, 1, 50) > 0) return true;
        }
        return false;
    }
    void serve() {
        while (readable(listenFd_)) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            char buffer[4096];
            ssize_t n = 0;
            while (readable(fd) && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
                if (kind_ == Kind::WebServer) {
                    const std::string answer = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
                    const ssize_t sent = ::write(fd, answer.data(), answer.size());
                    (void)sent;  // hangs up either way
                    break;
                }
                if (::write(fd, buffer, static_cast<size_t>(n)) != n) break;
            }
            ::close(fd);
        }
    }

    Kind kind_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A link for doctor to check: the base (when there is one), a process that
// holds the port, and how the console is started on it.
struct Link {
    std::unique_ptr<TcpPeer> peer;
    std::unique_ptr<sim::SimServer> base;
    std::unique_ptr<ConsoleProcess> holder;
    std::vector<std::string> prefix;  // a program the console runs under, with its arguments
    std::vector<std::string> channel;  // the console's channel options
};

std::unique_ptr<sim::SimServer> ptyBase(const sim::WireSettings& wire = sim::WireSettings(),
                                        const sim::Scenario& scenario = sim::defaultScenario()) {
    auto base = std::make_unique<sim::SimServer>(scenario);
    base->setWire(wire);
    std::string error;
    if (!base->startPty("", &error)) throw std::runtime_error("simulator did not start: " + error);
    return base;
}

Link serialLink(std::unique_ptr<sim::SimServer> base) {
    Link link;
    link.channel = {"-c", "serial", "-p", base->ptyPath()};
    link.base = std::move(base);
    return link;
}

Link peerLink(TcpPeer::Kind kind) {
    Link link;
    link.peer = std::make_unique<TcpPeer>(kind);
    link.channel = {"-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(link.peer->port())};
    return link;
}

Link tcpLink(const sim::Scenario& scenario = sim::defaultScenario()) {
    Link link;
    link.base = std::make_unique<sim::SimServer>(scenario);
    std::string error;
    if (!link.base->startTcp("127.0.0.1", 0, &error)) throw std::runtime_error("simulator did not start: " + error);
    link.channel = {"-c", "tcp", "--host", "127.0.0.1", "-p", std::to_string(link.base->port())};
    return link;
}

// The pty's owner may not open it either (mode 0060, the group alone may),
// and its group is dialout where there is one. Root may open anything, so
// as root the console runs as nobody, outside every group.
bool deniedPty(Link& link, std::string& skip) {
    link = serialLink(ptyBase());
    const std::string& device = link.channel.back();
    const group* dialout = ::getgrnam("dialout");
    if (dialout != nullptr && ::chown(device.c_str(), static_cast<uid_t>(-1), dialout->gr_gid) != 0) return false;
    if (::chmod(device.c_str(), 0060) != 0) return false;
    if (::geteuid() == 0) {
        if (::access("/usr/bin/setpriv", X_OK) != 0) {
            skip = "running as root without setpriv to drop the privileges";
            return true;
        }
        link.prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                       support::builtProgram("orbitane_console")};
    }
    return true;
}

// Another console holds the port: it opens it exclusively (TIOCEXCL and an
// exclusive lock, which also keeps root out) and keeps reading.
bool heldPty(Link& link, std::string&) {
    link = serialLink(ptyBase());
    std::vector<std::string> args{"base"};
    args.insert(args.end(), link.channel.begin(), link.channel.end());
    args.insert(args.end(), {"monitor", "status", "--interval", "0.2"});
    link.holder = std::make_unique<ConsoleProcess>(args);
    return link.holder->waitForOutput("Battery", 20000ms);
}

struct DoctorCase {
    const char* name;
    std::function<bool(Link&, std::string& skip)> prepare;
    int status;
    const char* stopsAt;  // the failing step; nullptr when every step passes
    std::function<std::string(const Link&)> says;  // in the failing step's detail or advice
    std::vector<std::string> options = {};  // doctor's own (--count N)
    std::vector<std::string> warned = {};   // the steps that pass with a warning
};

std::function<std::string(const Link&)> saying(const char* text) {
    return [text](const Link&) { return std::string(text); };
}

const DoctorCase kCases[] = {
    {"MissingDevice",
     [](Link& link, std::string&) {
         link.channel = {"-c", "serial", "-p", "/tmp/orbitane-doctor-no-such-device"};
         return true;
     },
     4, "device", [](const Link&) { return std::string("No such file or directory"); }},
    {"PtyTheUserMayNotOpen", deniedPty, 4, "access",
     [](const Link&) {
         const group* dialout = ::getgrnam("dialout");
         return std::string("sudo usermod -aG ") + (dialout != nullptr ? "dialout" : "tty") + " $USER";
     }},
    {"PtyHeldByAnotherProcess", heldPty, 4, "holders",
     [](const Link& link) { return "orbitane_console (pid " + std::to_string(link.holder->pid()) + ")"; }},
    {"NotASerialDevice",
     [](Link& link, std::string&) {
         link.channel = {"-c", "serial", "-p", "/dev/null"};
         return true;
     },
     4, "device", saying("/dev/null is not a serial device (it belongs to the mem driver)")},
    {"TxLoopedBackToRx",
     [](Link& link, std::string&) {
         link = peerLink(TcpPeer::Kind::Echo);
         return true;
     },
     4, "peer", saying("is one the console had sent: TX is looped back to RX")},
    {"WebServerOnThePort",
     [](Link& link, std::string&) {
         link = peerLink(TcpPeer::Kind::WebServer);
         return true;
     },
     4, "peer", saying("it looks like an HTTP server (a web server answers on this port); it began: 48 54 54 50")},
    {"NoisyLine",
     [](Link& link, std::string&) {
         sim::WireSettings wire;
         wire.bitErrorRate = 1e-3;
         link = serialLink(ptyBase(wire));
         return true;
     },
     3, "checksums", saying("answers corrupted")},
    {"AnswersLaterThanTheTimeOut",
     [](Link& link, std::string&) {
         sim::FaultRule late = fault(0x30, sim::FaultKind::Delay);
         late.delayMs = 1300;
         link = tcpLink(scenarioWith([&](sim::Scenario& s) { s.faults.push_back(late); }));
         return true;
     },
     7, "status", saying("came after the 1 s time-out, the latest 1.3")},
    {"SilentBase",
     [](Link& link, std::string&) {
         link = tcpLink(scenarioWith([](sim::Scenario& s) { s.faults.push_back(fault(0x30, sim::FaultKind::Silent)); }));
         return true;
     },
     7, "status", saying("no status request")},
    {"BlankIdentityBehindASlowAdapter",
     [](Link& link, std::string&) {
         sim::WireSettings wire;
         wire.latencyMs = 16;
         link = serialLink(ptyBase(wire, scenarioWith([](sim::Scenario& s) {
             s.identity.model = "";
             s.identity.firmwareVersion = 0;
         })));
         return true;
     },
     0, nullptr, nullptr, {"--count", "20"}, {"identity", "status"}},
    {"HealthyTcp",
     [](Link& link, std::string&) {
         link = tcpLink();
         return true;
     },
     0, nullptr, nullptr},
    {"HealthyPty",
     [](Link& link, std::string&) {
         link = serialLink(ptyBase());
         return true;
     },
     0, nullptr, nullptr},
};

class DoctorTest : public ::testing::TestWithParam<DoctorCase> {};

TEST_P(DoctorTest, StopsAtTheFailingStepWithItsStatusAndAdvice) {
    const DoctorCase& c = GetParam();
    Link link;
    std::string skip;
    ASSERT_TRUE(c.prepare(link, skip)) << "the link could not be prepared";
    if (!skip.empty()) GTEST_SKIP() << skip;

    std::vector<std::string> args = link.prefix;
    args.push_back("base");
    args.insert(args.end(), link.channel.begin(), link.channel.end());
    args.insert(args.end(), {"doctor", "--json"});
    args.insert(args.end(), c.options.begin(), c.options.end());
    std::unique_ptr<ConsoleProcess> doctor =
        link.prefix.empty() ? std::make_unique<ConsoleProcess>(args)
                            : std::make_unique<ConsoleProcess>(args[0], std::vector<std::string>(args.begin() + 1,
                                                                                                 args.end()));
    const ConsoleOutcome r = doctor->wait(std::chrono::milliseconds(static_cast<int>(120000 * kTimeScale)));
    ASSERT_FALSE(r.killed) << r.err;
    EXPECT_EQ(r.status, c.status) << r.err;

    std::vector<Json::Value> steps;
    for (const std::string& line : r.outLines()) steps.push_back(support::parseJson(line));
    ASSERT_GE(steps.size(), 2u) << r.err;
    // The summary comes last, in the log and in JSON.
    const Json::Value summary = steps.back();
    steps.pop_back();
    EXPECT_TRUE(summary["summary"].asBool()) << summary;
    EXPECT_NE(r.err.find("doctor: summary: "), std::string::npos) << r.err;
    std::vector<std::string> warned;
    for (size_t i = 0; i + 1 < steps.size(); ++i) EXPECT_TRUE(steps[i]["ok"].asBool()) << steps[i];
    for (const Json::Value& step : steps) {
        if (step.isMember("warnings")) warned.push_back(step["step"].asString());
    }
    EXPECT_EQ(warned, c.warned) << r.err;
    EXPECT_EQ(summary["warning_count"].asUInt(), c.warned.size()) << summary;
    const Json::Value& last = steps.back();
    if (c.stopsAt == nullptr) {
        EXPECT_EQ(last["step"].asString(), "status");
        EXPECT_TRUE(last["ok"].asBool()) << last;
        EXPECT_EQ(last["answered"].asUInt64(), c.options.empty() ? 200u : 20u);
        EXPECT_LE(last["p50_ms"].asDouble(), last["p95_ms"].asDouble());
        EXPECT_LE(last["p95_ms"].asDouble(), last["max_ms"].asDouble());
        EXPECT_EQ(last.isMember("wire_share"), link.channel[1] == "serial") << last;
        EXPECT_FALSE(last.isMember("error")) << last;
        return;
    }
    EXPECT_EQ(last["step"].asString(), c.stopsAt) << last;
    EXPECT_FALSE(last["ok"].asBool());
    EXPECT_EQ(last["status"].asInt(), c.status);
    EXPECT_EQ(summary["failed_step"].asString(), c.stopsAt);
    // The failing step is doctor's failure object, as a script filters it.
    EXPECT_EQ(last["error"].asString(), std::string("stopped at the ") + c.stopsAt + " check") << last;
    EXPECT_EQ(last["kind"].asString(), c.status == 7 ? "timeout" : c.status == 3 ? "invalid_answer" : "connect_failed");
    EXPECT_EQ(last["result"].asInt(), c.status);
    const std::string said = last["detail"].asString() + " / " + last["advice"].asString();
    EXPECT_NE(said.find(c.says(link)), std::string::npos) << said;
}

INSTANTIATE_TEST_SUITE_P(Faults, DoctorTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DoctorCase>& info) { return info.param.name; });

// Existing commands still fail as before when the channel cannot be opened;
// only doctor takes the connection over.
TEST(DoctorFrameTest, OtherCommandsStillFailToConnectWithStatusFour) {
    ConsoleProcess status({"base", "-c", "serial", "-p", "/tmp/orbitane-doctor-no-such-device", "status"});
    const ConsoleOutcome r = status.wait(30000ms);
    EXPECT_EQ(r.status, 4);
    EXPECT_TRUE(has(r.errLines(), fatal(FRAME, "Failed to connect to serial:/tmp/orbitane-doctor-no-such-device")))
        << r.err;
}

}  // namespace
}  // namespace e2e
}  // namespace tests
