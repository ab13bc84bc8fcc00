// orbitane._orbitane: the Python face of the C++ API (include/orbitane/).
//
// Readings come back as small typed objects named and valued like the
// console's JSON (orbitane/Units.h says how the SI values map). Every call
// that talks to the base releases the GIL while it waits, so several bases
// can be read from threads.
//
// Ctrl-C: the first call that waits on the main thread puts a SIGINT
// handler of the library's in front of the one Python installed (where
// Python has one: not where SIGINT is ignored or left to its default). It
// hands every SIGINT on to Python's handler, so KeyboardInterrupt comes as
// it always does; while a call of the library waits, it also asks that
// Base to stop (Base::interrupt(): the wait ends at once, and a motion
// scope that may be moving sends its stop before the call returns), and
// the call raises the KeyboardInterrupt once it is back. A program that
// sets its own SIGINT handler (signal.signal) gets the library's in front
// of it again at the next connect() or motion(). Installing it once,
// rather than around each call, keeps system calls off every reading.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <errno.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "orbitane/orbitane.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// ---------------------------------------------------------------------------
// Ctrl-C while a call blocks

// Signals within this long of the first are one burst (the console's rule).
constexpr int64_t BURST_NS = 250 * 1000 * 1000;

std::atomic<orbitane::Base*> g_base{nullptr};
std::atomic<int> g_caught{0};
std::atomic<int64_t> g_firstNs{0};
// The handler the library's stands in front of; written only while the
// library's is not installed.
struct sigaction g_previous;

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);  // async-signal-safe
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void onSignal(int sig, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    orbitane::Base* base = g_base.load();
    if (base != nullptr) {
        int none = 0;
        if (g_caught.compare_exchange_strong(none, sig)) {
            g_firstNs.store(nowNs());
            base->interrupt();
        } else if (nowNs() - g_firstNs.load() >= BURST_NS) {
            // A later signal: once the stop was written, its wait ends.
            base->interrupt();
        }
    }
    // Python's own handler notes the signal for KeyboardInterrupt.
    if ((g_previous.sa_flags & SA_SIGINFO) != 0) {
        g_previous.sa_sigaction(sig, info, context);
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(sig);
    }
    errno = savedErrno;
}

bool onMainThread() {
    static const unsigned long mainThread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    return PyThread_get_thread_ident() == mainThread;
}

// Puts the library's handler in front of Python's, unless it is there
// already for the Python handler now set (GIL held, main thread).
bool g_watchChecked = false;
bool g_watching = false;

void watchSigint() {
    // Leaked on purpose: nothing of it may run while the interpreter ends.
    static py::handle getsignal = py::object(py::module_::import("signal").attr("getsignal")).release();
    static PyObject* seen = nullptr;  // the Python handler the library's stands in front of
    g_watchChecked = true;
    py::object current = getsignal(SIGINT);
    if (current.ptr() == seen && g_watching) return;
    Py_XDECREF(seen);
    seen = current.release().ptr();
    g_watching = false;
    struct sigaction now {};
    if (sigaction(SIGINT, nullptr, &now) != 0) return;
    if ((now.sa_flags & SA_SIGINFO) != 0 && now.sa_sigaction == onSignal) {
        g_watching = true;
        return;
    }
    const bool handled = (now.sa_flags & SA_SIGINFO) != 0 || (now.sa_handler != SIG_DFL && now.sa_handler != SIG_IGN);
    if (!handled) return;  // ignored, or left to end the process: as it is
    g_previous = now;
    struct sigaction ours {};
    ours.sa_sigaction = onSignal;
    ours.sa_flags = SA_SIGINFO | (now.sa_flags & SA_ONSTACK);
    ours.sa_mask = now.sa_mask;
    g_watching = sigaction(SIGINT, &ours, nullptr) == 0;
}

// At a connect() or motion() on the main thread: the handler Python has now.
void rewatchSigint() {
    if (onMainThread()) watchSigint();
}

// While it lives, a SIGINT asks `base` to stop (GIL held at both ends).
class SignalWatch {
public:
    explicit SignalWatch(orbitane::Base& base) {
        if (!onMainThread()) return;
        if (!g_watchChecked) watchSigint();
        if (!g_watching) return;
        g_caught.store(0);
        g_base.store(&base);
        watching_ = active_ = true;
    }
    ~SignalWatch() { restore(); }
    void restore() {
        if (active_) g_base.store(nullptr);
        active_ = false;
    }
    // A SIGINT came while it watched.
    bool caught() const { return watching_ && g_caught.load() != 0; }

private:
    bool watching_ = false;
    bool active_ = false;
};

// Runs `body` (a call of the C++ API) with the GIL released and the
// watch in place. After a Ctrl-C the Base is made usable again and
// Python's handler runs: KeyboardInterrupt, after the stop went out.
template <class Body>
auto blocking(orbitane::Base& base, Body&& body) -> decltype(body()) {
    using Result = decltype(body());
    SignalWatch watch(base);
    std::exception_ptr failure;
    std::optional<std::conditional_t<std::is_void<Result>::value, bool, Result>> value;
    {
        py::gil_scoped_release release;
        try {
            if constexpr (std::is_void<Result>::value) {
                body();
                value.emplace(true);
            } else {
                value.emplace(body());
            }
        } catch (...) {
            failure = std::current_exception();
        }
    }
    watch.restore();
    if (watch.caught()) {
        base.resetInterrupt();
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void<Result>::value) return std::move(*value);
}

// ---------------------------------------------------------------------------
// Errors: one Python class per kind (orbitane/_errors.py)

void raiseError(const orbitane::Error& e) {
    py::object cls;
    try {
        cls = py::module_::import("orbitane._errors").attr("class_for_kind")(e.kind());
    } catch (py::error_already_set&) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return;
    }
    py::object baseError = e.baseError() ? py::object(py::int_(*e.baseError())) : py::object(py::none());
    py::object exc = cls(e.what(), "kind"_a = e.kind(), "result"_a = e.result(), "base_error"_a = baseError);
    PyErr_SetObject(cls.ptr(), exc.ptr());
}

orbitane::Error usage(const std::string& message) {
    return orbitane::Error(orbitane::kind::USAGE, orbitane::result::USAGE, message);
}

// ---------------------------------------------------------------------------
// Readings: JSON names, the console's units

double poseMm(double metres) { return orbitane::jsonPoseMillimetres(metres); }

py::dict poseDict(const orbitane::MountPose& p) {
    return py::dict("x_mm"_a = poseMm(p.x_m), "y_mm"_a = poseMm(p.y_m), "z_mm"_a = poseMm(p.z_m),
                    "yaw_deg"_a = orbitane::jsonPoseDegrees(p.yaw_rad));
}

// "Status(battery_percent=80, charging='cable', ...)" from the object's
// members as to_dict() gives them.
std::string reprOf(const char* name, const py::dict& members) {
    std::string text = std::string(name) + "(";
    bool first = true;
    for (auto item : members) {
        if (!first) text += ", ";
        first = false;
        text += py::str(item.first).cast<std::string>() + "=" + py::repr(item.second).cast<std::string>();
    }
    return text + ")";
}

// Adds to_dict, __repr__ and __eq__ to a reading class from its dict.
template <class Class, class ToDict>
void readingClass(Class& cls, const char* name, ToDict toDict) {
    cls.def("to_dict", toDict, "The members as a dict, named as in the console's JSON object.");
    cls.def("__repr__", [name, toDict](const typename Class::type& v) { return reprOf(name, toDict(v)); });
    cls.def("__eq__", [toDict](const typename Class::type& a, py::object b) -> py::object {
        if (!py::isinstance<typename Class::type>(b)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(toDict(a).equal(toDict(b.cast<const typename Class::type&>())));
    });
    cls.attr("__hash__") = py::none();
}

template <class T, class ToDict>
py::list listOf(const std::vector<T>& items, ToDict toDict) {
    py::list out;
    for (const T& item : items) out.append(toDict(item));
    return out;
}

py::dict identityDict(const orbitane::Identity& v) {
    return py::dict("model"_a = v.model, "firmware_version"_a = v.firmware_version,
                    "hardware_version"_a = v.hardware_version, "serial_number"_a = v.serial_number,
                    "channel"_a = v.channel);
}

py::dict statusDict(const orbitane::Status& v) {
    return py::dict("battery_percent"_a = v.battery_percent, "charging"_a = v.charging,
                    "cable_connected"_a = v.cable_connected, "on_dock"_a = v.on_dock,
                    "charging_flags"_a = v.charging_flags, "charging_text"_a = v.charging_text);
}

long long wholeMm(double metres) { return std::llround(metres * 1000.0); }

py::dict motorDict(const orbitane::Motor& v) {
    return py::dict("left_odometer_mm"_a = wholeMm(v.left_odometer_m),
                    "right_odometer_mm"_a = wholeMm(v.right_odometer_m), "motor_state"_a = v.motor_state);
}

py::dict distanceDict(const orbitane::DistanceSensor& v) {
    return py::dict("index"_a = v.index, "label"_a = v.label,
                    "distance_mm"_a = orbitane::jsonMillimetres(v.distance_m));
}

py::dict sensorDict(const orbitane::SensorReading& v) { return py::dict("sensors"_a = listOf(v.sensors, distanceDict)); }

py::dict bumperEntryDict(const orbitane::Bumper& v) {
    return py::dict("index"_a = v.index, "kind"_a = v.kind, "label"_a = v.label, "triggered"_a = v.triggered,
                    "bit"_a = v.bit, "pose"_a = poseDict(v.pose));
}

py::dict bumperDict(const orbitane::BumperReading& v) {
    return py::dict("sensors"_a = listOf(v.sensors, bumperEntryDict), "bumper_bits"_a = v.bumper_bits);
}

py::dict probeDict(const orbitane::Probe& v) {
    return py::dict("index"_a = v.index, "bits"_a = v.bits, "beacons_seen"_a = v.beacons_seen);
}

py::dict beaconDict(const orbitane::BeaconReading& v) {
    return py::dict("beacon_count"_a = v.beacon_count, "probe_count"_a = v.probe_count,
                    "probes"_a = listOf(v.probes, probeDict));
}

py::dict configSensorDict(const orbitane::ConfigSensor& v) {
    return py::dict("id"_a = v.id, "kind"_a = v.kind, "label"_a = v.label, "pose"_a = poseDict(v.pose));
}

py::object decodedOf(const orbitane::Config& v) {
    if (v.legacy) return py::none();
    return py::module_::import("json").attr("loads")(v.decoded);
}

py::dict configDict(const orbitane::Config& v) {
    py::dict out("legacy"_a = v.legacy, "manufacture_name"_a = v.manufacture_name,
                 "manufacture_id"_a = v.manufacture_id, "model_name"_a = v.model_name, "model_id"_a = v.model_id,
                 "hardware_version"_a = v.hardware_version,
                 "robot_diameter_mm"_a = orbitane::jsonMillimetres(v.robot_diameter_m),
                 "sensors"_a = listOf(v.sensors, configSensorDict));
    if (!v.legacy) {
        out["lidar_pose"] = poseDict(v.lidar_pose);
        out["side_margin_mm"] = orbitane::jsonMillimetres(v.side_margin_m);
        out["bumper_policy"] = v.bumper_policy;
        out["has_ir_tower"] = v.has_ir_tower;
        out["auto_home_on_low_battery"] = v.auto_home_on_low_battery;
        out["battery_percent_to_go_home"] = v.battery_percent_to_go_home;
        out["battery_percent_to_resume"] = v.battery_percent_to_resume;
        out["decoded"] = decodedOf(v);
    }
    return out;
}

py::dict hostInfoDict(const orbitane::HostInfo& v) {
    return py::dict("model"_a = v.model, "device_name"_a = v.device_name, "host_address"_a = v.host_address);
}

py::dict pollDict(const orbitane::PollReading& v) {
    py::dict out("pending_command"_a = v.pending_command, "get_info_requested"_a = v.get_info_requested);
    if (v.answered) out["answered_get_info"] = hostInfoDict(v.answered_get_info);
    return out;
}

py::dict displacementDict(const orbitane::Displacement& v) {
    return py::dict("dx_mm"_a = orbitane::jsonMillimetres(v.dx_m), "dy_mm"_a = orbitane::jsonMillimetres(v.dy_m),
                    "dheading_deg"_a = orbitane::jsonDegrees(v.dheading_rad), "velocity_state"_a = v.velocity_state);
}

std::string hex8(int32_t result) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(result));
    return text;
}

py::dict stopDict(const orbitane::StopOutcome& v) {
    return py::dict("sent"_a = v.sent, "confirmed"_a = v.confirmed, "attempts"_a = v.attempts, "result"_a = v.result,
                    "result_hex"_a = hex8(v.result), "kind"_a = v.kind.empty() ? py::object(py::none())
                                                                                 : py::object(py::str(v.kind)));
}

py::dict countsDict(const orbitane::LinkCounts& v) {
    return py::dict("bytes_in"_a = v.bytes_in, "good_frames"_a = v.good_frames, "requests"_a = v.requests,
                    "answers"_a = v.answers, "timeouts"_a = v.timeouts, "late_answers"_a = v.late_answers,
                    "unasked"_a = v.unasked, "lost_answers"_a = v.lost_answers, "corrupted"_a = v.corrupted,
                    "messages"_a = v.messages, "skipped_bytes"_a = v.skipped_bytes,
                    "abandoned_starts"_a = v.abandoned_starts, "line_errors"_a = v.line_errors);
}

// ---------------------------------------------------------------------------
// The motion scope, with the Base it drives

struct PyMotion {
    orbitane::Motion motion;
    orbitane::Base* base;  // kept alive by the Python object (keep_alive)
};

// Ends the scope as the with-block leaves. After KeyboardInterrupt (or
// another exception that is no Exception, SystemExit) the stop goes out
// under the signal's attempts rule. A block that ended without an
// exception and whose stop the base did not confirm raises that failure:
// the base may still be moving. An exception already on its way is left
// as it is; the outcome is in stop_outcome either way.
bool exitMotion(PyMotion& m, const py::object& type) {
    const bool underSignal = !type.is_none() && !PyObject_IsSubclass(type.ptr(), PyExc_Exception);
    if (underSignal) m.base->interrupt();
    const orbitane::StopOutcome outcome = blocking(*m.base, [&] { return m.motion.stop(); });
    if (underSignal) m.base->resetInterrupt();
    if (type.is_none() && outcome.sent && !outcome.confirmed) {
        throw orbitane::Error(outcome.kind.empty() ? orbitane::kind::TIMEOUT : outcome.kind, outcome.result,
                              "the base did not confirm the stop request (" + hex8(outcome.result) +
                                  "): it may still be moving");
    }
    return false;
}

}  // namespace

PYBIND11_MODULE(_orbitane, m) {
    m.doc() = "The C++ core of the orbitane package; use the package itself (import orbitane).";
    m.attr("__version__") = orbitane::version();

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const orbitane::Error& e) {
            raiseError(e);
        }
    });

    // Readings ---------------------------------------------------------
    py::class_<orbitane::MountPose> pose(m, "Pose", "Where a sensor sits on the robot (mm and degrees).");
    pose.def_property_readonly("x_mm", [](const orbitane::MountPose& p) { return poseMm(p.x_m); })
        .def_property_readonly("y_mm", [](const orbitane::MountPose& p) { return poseMm(p.y_m); })
        .def_property_readonly("z_mm", [](const orbitane::MountPose& p) { return poseMm(p.z_m); })
        .def_property_readonly("yaw_deg",
                               [](const orbitane::MountPose& p) { return orbitane::jsonPoseDegrees(p.yaw_rad); });
    readingClass(pose, "Pose", poseDict);

    py::class_<orbitane::Identity> identity(m, "Identity", "The base's identity (the identity reading).");
    identity.def_readonly("model", &orbitane::Identity::model)
        .def_readonly("firmware_version", &orbitane::Identity::firmware_version)
        .def_readonly("hardware_version", &orbitane::Identity::hardware_version)
        .def_readonly("serial_number", &orbitane::Identity::serial_number)
        .def_readonly("channel", &orbitane::Identity::channel);
    identity.attr("command") = "identity";
    readingClass(identity, "Identity", identityDict);

    py::class_<orbitane::Status> status(m, "Status", "Battery and charging (the status reading).");
    status.def_readonly("battery_percent", &orbitane::Status::battery_percent)
        .def_readonly("charging", &orbitane::Status::charging)
        .def_readonly("cable_connected", &orbitane::Status::cable_connected)
        .def_readonly("on_dock", &orbitane::Status::on_dock)
        .def_readonly("charging_flags", &orbitane::Status::charging_flags)
        .def_readonly("charging_text", &orbitane::Status::charging_text);
    status.attr("command") = "status";
    readingClass(status, "Status", statusDict);

    py::class_<orbitane::Motor> motor(m, "Motor", "The wheels' cumulative odometers (the motor reading).");
    motor.def_property_readonly("left_odometer_mm", [](const orbitane::Motor& v) { return wholeMm(v.left_odometer_m); })
        .def_property_readonly("right_odometer_mm",
                               [](const orbitane::Motor& v) { return wholeMm(v.right_odometer_m); })
        .def_readonly("motor_state", &orbitane::Motor::motor_state);
    motor.attr("command") = "motor";
    readingClass(motor, "Motor", motorDict);

    py::class_<orbitane::DistanceSensor> distance(m, "DistanceSensor", "One distance sensor and its reading.");
    distance.def_readonly("index", &orbitane::DistanceSensor::index)
        .def_readonly("label", &orbitane::DistanceSensor::label)
        .def_property_readonly("distance_mm",
                               [](const orbitane::DistanceSensor& v) { return orbitane::jsonMillimetres(v.distance_m); });
    readingClass(distance, "DistanceSensor", distanceDict);

    py::class_<orbitane::SensorReading> sensor(m, "SensorReading", "The distance sensors (the sensor reading).");
    sensor.def_readonly("sensors", &orbitane::SensorReading::sensors);
    sensor.attr("command") = "sensor";
    readingClass(sensor, "SensorReading", sensorDict);

    py::class_<orbitane::Bumper> bumperEntry(m, "Bumper", "One bumper or cliff sensor and its bit.");
    bumperEntry.def_readonly("index", &orbitane::Bumper::index)
        .def_readonly("kind", &orbitane::Bumper::kind)
        .def_readonly("label", &orbitane::Bumper::label)
        .def_readonly("triggered", &orbitane::Bumper::triggered)
        .def_readonly("bit", &orbitane::Bumper::bit)
        .def_readonly("pose", &orbitane::Bumper::pose);
    readingClass(bumperEntry, "Bumper", bumperEntryDict);

    py::class_<orbitane::BumperReading> bumper(m, "BumperReading", "Bumper and cliff sensors (the bumper reading).");
    bumper.def_readonly("sensors", &orbitane::BumperReading::sensors)
        .def_readonly("bumper_bits", &orbitane::BumperReading::bumper_bits);
    bumper.attr("command") = "bumper";
    readingClass(bumper, "BumperReading", bumperDict);

    py::class_<orbitane::Probe> probe(m, "Probe", "One infrared probe of the docking beacons.");
    probe.def_readonly("index", &orbitane::Probe::index)
        .def_readonly("bits", &orbitane::Probe::bits)
        .def_readonly("beacons_seen", &orbitane::Probe::beacons_seen);
    readingClass(probe, "Probe", probeDict);

    py::class_<orbitane::BeaconReading> beacon(m, "BeaconReading", "The docking beacons (the beacon reading).");
    beacon.def_readonly("beacon_count", &orbitane::BeaconReading::beacon_count)
        .def_readonly("probe_count", &orbitane::BeaconReading::probe_count)
        .def_readonly("probes", &orbitane::BeaconReading::probes);
    beacon.attr("command") = "beacon";
    readingClass(beacon, "BeaconReading", beaconDict);

    py::class_<orbitane::ConfigSensor> configSensor(m, "ConfigSensor", "One sensor of the configuration.");
    configSensor.def_readonly("id", &orbitane::ConfigSensor::id)
        .def_readonly("kind", &orbitane::ConfigSensor::kind)
        .def_readonly("label", &orbitane::ConfigSensor::label)
        .def_readonly("pose", &orbitane::ConfigSensor::pose);
    readingClass(configSensor, "ConfigSensor", configSensorDict);

    // The members a legacy record leaves out are None.
    const auto binaryOnly = [](auto member) {
        return [member](const orbitane::Config& v) -> py::object {
            if (v.legacy) return py::none();
            return member(v);
        };
    };
    py::class_<orbitane::Config> config(m, "Config", "The base's configuration (the config reading).");
    config.def_readonly("legacy", &orbitane::Config::legacy)
        .def_readonly("manufacture_name", &orbitane::Config::manufacture_name)
        .def_readonly("manufacture_id", &orbitane::Config::manufacture_id)
        .def_readonly("model_name", &orbitane::Config::model_name)
        .def_readonly("model_id", &orbitane::Config::model_id)
        .def_readonly("hardware_version", &orbitane::Config::hardware_version)
        .def_property_readonly("robot_diameter_mm",
                               [](const orbitane::Config& v) { return orbitane::jsonMillimetres(v.robot_diameter_m); })
        .def_readonly("sensors", &orbitane::Config::sensors)
        .def_property_readonly("lidar_pose", binaryOnly([](const orbitane::Config& v) { return py::cast(v.lidar_pose); }))
        .def_property_readonly("side_margin_mm", binaryOnly([](const orbitane::Config& v) {
                                   return py::cast(orbitane::jsonMillimetres(v.side_margin_m));
                               }))
        .def_property_readonly("bumper_policy",
                               binaryOnly([](const orbitane::Config& v) { return py::cast(v.bumper_policy); }))
        .def_property_readonly("has_ir_tower",
                               binaryOnly([](const orbitane::Config& v) { return py::cast(v.has_ir_tower); }))
        .def_property_readonly("auto_home_on_low_battery", binaryOnly([](const orbitane::Config& v) {
                                   return py::cast(v.auto_home_on_low_battery);
                               }))
        .def_property_readonly("battery_percent_to_go_home", binaryOnly([](const orbitane::Config& v) {
                                   return py::cast(v.battery_percent_to_go_home);
                               }))
        .def_property_readonly("battery_percent_to_resume", binaryOnly([](const orbitane::Config& v) {
                                   return py::cast(v.battery_percent_to_resume);
                               }))
        .def_property_readonly("decoded", decodedOf);
    config.attr("command") = "config";
    readingClass(config, "Config", configDict);

    py::class_<orbitane::HostInfo> hostInfo(m, "HostInfo", "The host's identity sent to a base that asked for it.");
    hostInfo.def_readonly("model", &orbitane::HostInfo::model)
        .def_readonly("device_name", &orbitane::HostInfo::device_name)
        .def_readonly("host_address", &orbitane::HostInfo::host_address);
    readingClass(hostInfo, "HostInfo", hostInfoDict);

    py::class_<orbitane::PollReading> poll(m, "PollReading", "What the base wants (the poll reading).");
    poll.def_readonly("pending_command", &orbitane::PollReading::pending_command)
        .def_readonly("get_info_requested", &orbitane::PollReading::get_info_requested)
        .def_property_readonly("answered_get_info", [](const orbitane::PollReading& v) -> py::object {
            if (!v.answered) return py::none();
            return py::cast(v.answered_get_info);
        });
    poll.attr("command") = "poll";
    readingClass(poll, "PollReading", pollDict);

    py::class_<orbitane::Displacement> displacement(
        m, "Displacement", "How far the base moved since its previous velocity answer, in its own frame.");
    displacement
        .def_property_readonly("dx_mm", [](const orbitane::Displacement& v) { return orbitane::jsonMillimetres(v.dx_m); })
        .def_property_readonly("dy_mm", [](const orbitane::Displacement& v) { return orbitane::jsonMillimetres(v.dy_m); })
        .def_property_readonly("dheading_deg",
                               [](const orbitane::Displacement& v) { return orbitane::jsonDegrees(v.dheading_rad); })
        .def_readonly("velocity_state", &orbitane::Displacement::velocity_state);
    readingClass(displacement, "Displacement", displacementDict);

    py::class_<orbitane::StopOutcome> stop(m, "StopOutcome", "What came of a motion scope's stop.");
    stop.def_readonly("sent", &orbitane::StopOutcome::sent)
        .def_readonly("confirmed", &orbitane::StopOutcome::confirmed)
        .def_readonly("attempts", &orbitane::StopOutcome::attempts)
        .def_readonly("result", &orbitane::StopOutcome::result)
        .def_property_readonly("result_hex", [](const orbitane::StopOutcome& v) { return hex8(v.result); })
        .def_property_readonly("kind", [](const orbitane::StopOutcome& v) -> py::object {
            if (v.kind.empty()) return py::none();
            return py::str(v.kind);
        });
    readingClass(stop, "StopOutcome", stopDict);

    py::class_<orbitane::LinkCounts> counts(m, "LinkCounts", "The link's accounting since it was opened.");
    counts.def_readonly("bytes_in", &orbitane::LinkCounts::bytes_in)
        .def_readonly("good_frames", &orbitane::LinkCounts::good_frames)
        .def_readonly("requests", &orbitane::LinkCounts::requests)
        .def_readonly("answers", &orbitane::LinkCounts::answers)
        .def_readonly("timeouts", &orbitane::LinkCounts::timeouts)
        .def_readonly("late_answers", &orbitane::LinkCounts::late_answers)
        .def_readonly("unasked", &orbitane::LinkCounts::unasked)
        .def_readonly("lost_answers", &orbitane::LinkCounts::lost_answers)
        .def_readonly("corrupted", &orbitane::LinkCounts::corrupted)
        .def_readonly("messages", &orbitane::LinkCounts::messages)
        .def_readonly("skipped_bytes", &orbitane::LinkCounts::skipped_bytes)
        .def_readonly("abandoned_starts", &orbitane::LinkCounts::abandoned_starts)
        .def_readonly("line_errors", &orbitane::LinkCounts::line_errors);
    readingClass(counts, "LinkCounts", countsDict);

    // Calls that wait only for the Base's lock (a call of another thread
    // may hold it for a request) let go of the GIL meanwhile.
    const auto released = py::call_guard<py::gil_scoped_release>();

    // The motion scope -------------------------------------------------
    py::class_<PyMotion>(m, "Motion", "The motion scope: every way out of it stops the base.")
        .def("__enter__", [](PyMotion& self) -> PyMotion& { return self; }, py::return_value_policy::reference)
        .def("__exit__", [](PyMotion& self, py::object type, py::object, py::object) { return exitMotion(self, type); })
        .def("wheels",
             [](PyMotion& self, double left, double right) {
                 blocking(*self.base, [&] { self.motion.wheels(left, right); });
             },
             "left"_a, "right"_a)
        .def("velocity",
             [](PyMotion& self, double vx, double vy, double omega) {
                 return blocking(*self.base, [&] { return self.motion.velocity(vx, vy, omega); });
             },
             "vx"_a, "vy"_a = 0.0, "omega"_a = 0.0)
        .def("stop", [](PyMotion& self) { return blocking(*self.base, [&] { return self.motion.stop(); }); })
        .def_property_readonly("ended",
                               [](const PyMotion& self) {
                                   py::gil_scoped_release release;
                                   return self.motion.ended();
                               })
        .def_property_readonly("stop_outcome", [](const PyMotion& self) {
            py::gil_scoped_release release;
            return self.motion.outcome();
        });

    // The base ---------------------------------------------------------
    py::class_<orbitane::Base>(m, "Base", "A link to one base.")
        .def("__enter__", [](orbitane::Base& self) -> orbitane::Base& { return self; },
             py::return_value_policy::reference)
        .def("__exit__",
             [](orbitane::Base& self, py::object, py::object, py::object) {
                 blocking(self, [&] { self.close(); });
                 return false;
             })
        .def("close", [](orbitane::Base& self) { blocking(self, [&] { self.close(); }); })
        .def_property_readonly("is_open",
                               [](const orbitane::Base& self) {
                                   py::gil_scoped_release release;
                                   return self.isOpen();
                               })
        .def_property_readonly("channel", [](const orbitane::Base& self) { return self.endpoint().describe(); })
        .def("identity", &orbitane::Base::identity, released)
        .def("status", [](orbitane::Base& self) { return blocking(self, [&] { return self.status(); }); })
        .def("motor", [](orbitane::Base& self) { return blocking(self, [&] { return self.motor(); }); })
        .def("sensor", [](orbitane::Base& self) { return blocking(self, [&] { return self.sensor(); }); })
        .def("bumper",
             [](orbitane::Base& self, bool activeLow) { return blocking(self, [&] { return self.bumper(activeLow); }); },
             "active_low"_a = false)
        .def("beacon", [](orbitane::Base& self) { return blocking(self, [&] { return self.beacon(); }); })
        .def("config", [](orbitane::Base& self) { return blocking(self, [&] { return self.config(); }); })
        .def("poll", [](orbitane::Base& self) { return blocking(self, [&] { return self.poll(); }); })
        .def("event", [](orbitane::Base& self, int code) { return blocking(self, [&] { return self.event(code); }); },
             "code"_a)
        .def("motion",
             [](orbitane::Base& self) {
                 rewatchSigint();
                 return new PyMotion{blocking(self, [&] { return self.motion(); }), &self};
             },
             py::keep_alive<0, 1>())
        .def_property_readonly("last_stop",
                               [](const orbitane::Base& self) {
                                   py::gil_scoped_release release;
                                   return self.lastStop();
                               })
        .def("link_counts", &orbitane::Base::linkCounts, released)
        .def("interrupt", &orbitane::Base::interrupt)
        .def("reset_interrupt", &orbitane::Base::resetInterrupt)
        .def_property_readonly("interrupted", &orbitane::Base::interrupted)
        .def("__repr__", [](const orbitane::Base& self) {
            return "<orbitane.Base " + self.endpoint().describe() + (self.isOpen() ? " open>" : " closed>");
        });

    m.def(
        "open",
        [](const std::string& uri, double first, double second) {
            if (!(first >= 0 && first <= 10) || !(second >= 0 && second <= 10)) {
                throw usage("sync_pauses: two numbers of seconds from 0 to 10");
            }
            orbitane::OpenOptions options;
            options.syncPauseFirst = std::chrono::milliseconds(std::llround(first * 1000));
            options.syncPauseSecond = std::chrono::milliseconds(std::llround(second * 1000));
            rewatchSigint();
            py::gil_scoped_release release;
            return new orbitane::Base(orbitane::Base::open(uri, options));
        },
        "uri"_a, "first_pause"_a, "second_pause"_a);
    m.def(
        "endpoint_of_options",
        [](const std::string& channel, std::optional<std::string> host, std::optional<std::string> port) {
            return orbitane::Endpoint::fromOptions(channel, host, port).describe();
        },
        "channel"_a, "host"_a, "port"_a);
    m.def("describe_uri", [](const std::string& uri) { return orbitane::Endpoint::parse(uri).describe(); }, "uri"_a);
}
