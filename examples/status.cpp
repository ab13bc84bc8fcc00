// A small client of liborbitane: reads a base's identity, status, odometers
// and distance sensors, and with --drive drives it ahead at 0.1 m/s for a
// while, then tells what came of the stop.
//
//   orbitane_example_status URI [--drive SECONDS]
//   orbitane_example_status tcp://127.0.0.1:11331 --drive 0.5
//
// Exit status: 0; 1 when the base or the link failed; 2 for bad usage;
// 3 when the base did not confirm the stop.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <orbitane/orbitane.h>

namespace {

int usage() {
    std::fprintf(stderr, "usage: orbitane_example_status URI [--drive SECONDS]\n");
    return 2;
}

// Drives ahead at 0.1 m/s for `seconds`, a velocity request every 50 ms;
// true when the base confirmed the stop.
bool drive(orbitane::Base& base, double seconds) {
    orbitane::Motion motion = base.motion();
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    double travelled = 0;
    while (std::chrono::steady_clock::now() < end) {
        travelled += motion.velocity(0.1).dx_m;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // An exception above would leave through the motion's destructor,
    // which sends the same stop; here its outcome is read.
    const orbitane::StopOutcome stop = motion.stop();
    std::printf("drove %.3f m; stop %s after %d attempt%s\n", travelled,
                stop.confirmed ? "confirmed" : "NOT confirmed: the base may still be moving", stop.attempts,
                stop.attempts == 1 ? "" : "s");
    return stop.confirmed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) return usage();
    double seconds = 0;
    if (argc == 4) {
        char* end = nullptr;
        seconds = std::strtod(argv[3], &end);
        if (std::string(argv[2]) != "--drive" || *end != '\0' || !(seconds > 0 && seconds <= 60)) return usage();
    }
    try {
        orbitane::Base base = orbitane::Base::open(argv[1]);
        const orbitane::Identity identity = base.identity();
        std::printf("%s firmware %s serial %s at %s\n", identity.model.c_str(), identity.firmware_version.c_str(),
                    identity.serial_number.c_str(), identity.channel.c_str());
        const orbitane::Status status = base.status();
        std::printf("battery %d %% (%s)\n", status.battery_percent, status.charging_text.c_str());
        const orbitane::Motor motor = base.motor();
        std::printf("odometers %.3f m, %.3f m\n", motor.left_odometer_m, motor.right_odometer_m);
        for (const orbitane::DistanceSensor& sensor : base.sensor().sensors) {
            std::printf("%s: %.3f m\n", sensor.label.c_str(), sensor.distance_m);
        }
        if (seconds > 0 && !drive(base, seconds)) return 3;
        return 0;
    } catch (const orbitane::Error& e) {
        std::fprintf(stderr, "%s (%s, %s)\n", e.what(), e.kind().c_str(), e.resultHex().c_str());
        return e.kind() == orbitane::kind::USAGE ? 2 : 1;
    }
}
