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
#include <structmember.h>

#include <errno.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// Lets go of the GIL while it lives. The plain C API: pybind11's own
// release also looks up its internals, which costs on every reading.
class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* state_;
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
        Unlocked release;
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
    py::object cause = py::none();
    py::object written = py::none();
    if (const auto& request = e.request()) {
        cause = py::str(request->cause);
        written = py::bool_(request->written);
    }
    py::object exc = cls(e.what(), "kind"_a = e.kind(), "result"_a = e.result(), "base_error"_a = baseError,
                         "cause"_a = cause, "written"_a = written);
    PyErr_SetObject(cls.ptr(), exc.ptr());
}

orbitane::Error usage(const std::string& message) {
    return orbitane::Error(orbitane::kind::USAGE, orbitane::result::USAGE, message);
}

// Runs `body` for a function of the plain C API: its new reference, or
// nullptr with the Python exception set that pybind11 would set for what
// it threw (a null result without an exception passes as it is: the end
// of an iteration).
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const orbitane::Error& e) {
        raiseError(e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Caught an unknown exception!");
    }
    return nullptr;
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

long long wholeMm(double metres) { return std::llround(metres * 1000.0); }

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
// Light readings: Identity, Status and Motor
//
// The readings a script repeats at a high rate are plain Python objects
// whose members sit in fixed slots, each set once when the reading is
// made: making one is an allocation and a few references. A pybind11
// class would hold a copy of the C++ value and register the instance,
// which costs about as much again as the library's own work on a reading.
// The members are read-only attributes, to_dict(), __repr__ and __eq__
// behave as readingClass() gives the other readings theirs.

// The members follow the object's header, one reference each.
constexpr Py_ssize_t MEMBERS_AT = sizeof(PyObject);

PyObject** membersOf(PyObject* self) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + MEMBERS_AT);
}

Py_ssize_t memberCount(PyTypeObject* type) {
    return (type->tp_basicsize - MEMBERS_AT) / static_cast<Py_ssize_t>(sizeof(PyObject*));
}

void recordDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject** members = membersOf(self);
    for (Py_ssize_t i = 0, n = memberCount(type); i < n; ++i) Py_XDECREF(members[i]);
    type->tp_free(self);
    Py_DECREF(type);  // an instance of a heap type holds a reference to it
}

PyObject* recordToDict(PyObject* self, PyObject*) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    PyObject** members = membersOf(self);
    const PyMemberDef* member = Py_TYPE(self)->tp_members;
    for (Py_ssize_t i = 0; member[i].name != nullptr; ++i) {
        if (PyDict_SetItemString(dict, member[i].name, members[i]) != 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

PyObject* recordRepr(PyObject* self) {
    return guarded([self] {
        auto members = py::reinterpret_steal<py::dict>(recordToDict(self, nullptr));
        if (!members) throw py::error_already_set();
        const char* name = Py_TYPE(self)->tp_name;
        if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
        return py::str(reprOf(name, members)).release().ptr();
    });
}

// Equal to a reading of the same class with equal members.
PyObject* recordCompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    bool equal = true;
    for (Py_ssize_t i = 0, n = memberCount(Py_TYPE(a)); i < n && equal; ++i) {
        const int same = PyObject_RichCompareBool(membersOf(a)[i], membersOf(b)[i], Py_EQ);
        if (same < 0) return nullptr;
        equal = same != 0;
    }
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyMethodDef g_recordMethods[] = {
    {"to_dict", recordToDict, METH_NOARGS,
     "to_dict($self, /)\n--\n\nThe members as a dict, named as in the console's JSON object."},
    {nullptr, nullptr, 0, nullptr},
};

class RecordType {
public:
    // Adds the class `qualified` ("orbitane._orbitane.Status", kept: the
    // type points at it) to the module, with these members in this order
    // and, for a reading of its own, the class attribute `command`.
    void define(py::module_& m, const char* qualified, const char* doc, std::initializer_list<const char*> names,
                const char* command) {
        // Leaked on purpose: the type points at its members' names.
        auto* members = new std::vector<PyMemberDef>();
        for (const char* name : names) {
            const auto offset = MEMBERS_AT + static_cast<Py_ssize_t>(members->size() * sizeof(PyObject*));
            members->push_back(PyMemberDef{name, T_OBJECT_EX, offset, READONLY, nullptr});
        }
        members->push_back(PyMemberDef{nullptr, 0, 0, 0, nullptr});
        PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(doc)},
            {Py_tp_dealloc, reinterpret_cast<void*>(recordDealloc)},
            {Py_tp_repr, reinterpret_cast<void*>(recordRepr)},
            {Py_tp_richcompare, reinterpret_cast<void*>(recordCompare)},
            {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
            {Py_tp_members, members->data()},
            {Py_tp_methods, g_recordMethods},
            {0, nullptr},
        };
        PyType_Spec typeShape{qualified, static_cast<int>(MEMBERS_AT + (members->size() - 1) * sizeof(PyObject*)), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        auto type = py::reinterpret_steal<py::object>(PyType_FromSpec(&typeShape));
        if (!type) throw py::error_already_set();
        if (command != nullptr) type.attr("command") = command;
        type_ = reinterpret_cast<PyTypeObject*>(type.ptr());
        m.add_object(std::strrchr(qualified, '.') + 1, type);
    }

    // A new reading of the members' values, given as new references
    // (stolen); nullptr with the exception set when one of them is nullptr
    // (its conversion failed) or there is no memory.
    PyObject* make(std::initializer_list<PyObject*> values) const {
        bool complete = static_cast<Py_ssize_t>(values.size()) == memberCount(type_);
        for (PyObject* value : values) complete = complete && value != nullptr;
        PyObject* self = complete ? static_cast<PyObject*>(PyObject_Malloc(type_->tp_basicsize)) : nullptr;
        if (self == nullptr) {
            for (PyObject* value : values) Py_XDECREF(value);
            if (PyErr_Occurred() == nullptr) {
                if (complete) {
                    PyErr_NoMemory();
                } else {
                    PyErr_SetString(PyExc_SystemError, "a reading made with the wrong number of members");
                }
            }
            return nullptr;
        }
        PyObject_Init(self, type_);
        PyObject** members = membersOf(self);
        for (PyObject* value : values) *members++ = value;
        return self;
    }

private:
    PyTypeObject* type_ = nullptr;
};

// The last text made for a member, handed out again while the base says
// the same: the charging words change seldom, and comparing the bytes
// costs less than decoding them into a new str.
class TextCache {
public:
    PyObject* get(const std::string& now) {
        if (object_ == nullptr || now != text_) {
            PyObject* made = textOf(now);
            if (made == nullptr) return nullptr;
            Py_XDECREF(object_);
            object_ = made;
            text_ = now;
        }
        Py_INCREF(object_);
        return object_;
    }
    // A new str of the UTF-8 text (UnicodeDecodeError as pybind11's).
    static PyObject* textOf(const std::string& text) {
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    }

private:
    std::string text_;
    PyObject* object_ = nullptr;  // owned; leaked at exit like the types
};

RecordType g_identityType, g_statusType, g_motorType;
TextCache g_charging, g_chargingText;  // used with the GIL held

PyObject* identityObject(const orbitane::Identity& v) {
    return g_identityType.make({TextCache::textOf(v.model), TextCache::textOf(v.firmware_version),
                                TextCache::textOf(v.hardware_version), TextCache::textOf(v.serial_number),
                                TextCache::textOf(v.channel)});
}

PyObject* statusObject(const orbitane::Status& v) {
    return g_statusType.make({PyLong_FromLong(v.battery_percent), g_charging.get(v.charging),
                              PyBool_FromLong(v.cable_connected), PyBool_FromLong(v.on_dock),
                              PyLong_FromLong(v.charging_flags), g_chargingText.get(v.charging_text)});
}

PyObject* motorObject(const orbitane::Motor& v) {
    return g_motorType.make({PyLong_FromLongLong(wholeMm(v.left_odometer_m)),
                             PyLong_FromLongLong(wholeMm(v.right_odometer_m)), PyLong_FromLong(v.motor_state)});
}

void defineLightReadings(py::module_& m) {
    g_identityType.define(m, "orbitane._orbitane.Identity", "The base's identity (the identity reading).",
                          {"model", "firmware_version", "hardware_version", "serial_number", "channel"}, "identity");
    g_statusType.define(m, "orbitane._orbitane.Status", "Battery and charging (the status reading).",
                        {"battery_percent", "charging", "cable_connected", "on_dock", "charging_flags",
                         "charging_text"},
                        "status");
    g_motorType.define(m, "orbitane._orbitane.Motor", "The wheels' cumulative odometers (the motor reading).",
                       {"left_odometer_mm", "right_odometer_mm", "motor_state"}, "motor");
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


// ---------------------------------------------------------------------------
// The readings a script repeats, without pybind11's dispatch
//
// Base.identity, status and motor are methods of the plain C API (method
// descriptors: a call needs no bound method and no overload resolution),
// as are the iterators of monitor() and paced() below; together with the
// light readings a status() takes about half the instructions of a
// pybind11 function returning a registered class (3,300 against 6,300,
// the library's own 1,700 included).

// The Base of a Python Base; pybind11's cast, and its error, for an
// instance whose C++ value is not there.
orbitane::Base& baseOf(PyObject* self) {
    py::detail::value_and_holder held = reinterpret_cast<py::detail::instance*>(self)->get_value_and_holder();
    if (held.holder_constructed() && held.value_ptr() != nullptr) return *held.value_ptr<orbitane::Base>();
    return py::handle(self).cast<orbitane::Base&>();
}

orbitane::Identity identityOf(orbitane::Base& base) {
    // No request, but another thread's call may hold the Base's lock.
    Unlocked release;
    return base.identity();
}

PyObject* baseIdentity(PyObject* self, PyObject*) {
    return guarded([self] { return identityObject(identityOf(baseOf(self))); });
}

PyObject* baseStatus(PyObject* self, PyObject*) {
    return guarded([self] {
        orbitane::Base& base = baseOf(self);
        return statusObject(blocking(base, [&] { return base.status(); }));
    });
}

PyObject* baseMotor(PyObject* self, PyObject*) {
    return guarded([self] {
        orbitane::Base& base = baseOf(self);
        return motorObject(blocking(base, [&] { return base.motor(); }));
    });
}

PyMethodDef g_baseMethods[] = {
    {"identity", baseIdentity, METH_NOARGS,
     "identity($self, /)\n--\n\nThe base's identity, from the connect request (no request)."},
    {"status", baseStatus, METH_NOARGS, "status($self, /)\n--\n\nThe status reading: battery and charging."},
    {"motor", baseMotor, METH_NOARGS, "motor($self, /)\n--\n\nThe motor reading: the wheels' odometers."},
};

// The readings monitor() repeats, as the console's monitor names them.
enum class Reading { Status, Motor, Sensor, Bumper, Beacon, Identity, Config };

Reading readingNamed(const std::string& name) {
    static const std::pair<const char*, Reading> names[] = {
        {"status", Reading::Status}, {"motor", Reading::Motor},       {"sensor", Reading::Sensor},
        {"bumper", Reading::Bumper}, {"beacon", Reading::Beacon},     {"identity", Reading::Identity},
        {"config", Reading::Config},
    };
    for (const auto& [text, reading] : names) {
        if (name == text) return reading;
    }
    throw orbitane::Error(orbitane::kind::UNKNOWN_COMMAND, 5, "monitor: '" + name + "' is not a reading");
}

// One reading, as the Base's method of its name makes it (bumper with
// its default, active high).
PyObject* readingOf(orbitane::Base& base, Reading reading) {
    switch (reading) {
        case Reading::Status:
            return statusObject(blocking(base, [&] { return base.status(); }));
        case Reading::Motor:
            return motorObject(blocking(base, [&] { return base.motor(); }));
        case Reading::Identity:
            return identityObject(identityOf(base));
        case Reading::Sensor:
            return py::cast(blocking(base, [&] { return base.sensor(); })).release().ptr();
        case Reading::Bumper:
            return py::cast(blocking(base, [&] { return base.bumper(false); })).release().ptr();
        case Reading::Beacon:
            return py::cast(blocking(base, [&] { return base.beacon(); })).release().ptr();
        case Reading::Config:
            return py::cast(blocking(base, [&] { return base.config(); })).release().ptr();
    }
    throw usage("monitor: no such reading");
}

// Seconds of CLOCK_MONOTONIC, time.monotonic()'s clock.
double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec) / 1e9;
}

// Raises what a Python signal handler raised (KeyboardInterrupt after a
// Ctrl-C), on the main thread, once a signal came.
void checkSignals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// The steps of a paced loop: they start at the points of the grid start +
// k * interval (the start is the first step's), so a late step never
// shifts the ones after it, and one that overran grid points is followed
// by the next at once. The steps end after `count` of them, or once
// `duration` seconds have passed since the start (no step starts after
// that). The waits let go of the GIL and end early for a signal whose
// handler raises: Ctrl-C raises KeyboardInterrupt as in time.sleep.
class Pacer {
public:
    Pacer(double interval, std::optional<unsigned long long> count, std::optional<double> duration)
        : interval_(interval), count_(count), duration_(duration) {}

    // Waits for the next step's point; false once the steps are over.
    bool step() {
        if (count_ && taken_ >= *count_) return false;
        if (taken_ == 0) {
            start_ = monotonicSeconds();
            end_ = duration_ ? start_ + *duration_ : HUGE_VAL;
        } else if (duration_ || interval_ > 0) {
            const double now = monotonicSeconds();
            if (now >= end_) return false;
            if (interval_ > 0) {
                period_ += 1;
                const double elapsed = std::floor((now - start_) / interval_);
                if (elapsed >= period_) {
                    period_ = elapsed;  // late: now, and back on the grid after it
                } else {
                    waitUntil(std::min(start_ + period_ * interval_, end_));
                    if (monotonicSeconds() >= end_) return false;
                }
            }
        }
        ++taken_;
        return true;
    }
    // The steps started so far.
    unsigned long long taken() const { return taken_; }

private:
    static void waitUntil(double due) {
        for (;;) {
            checkSignals();
            if (due - monotonicSeconds() <= 0) return;
            timespec at{};
            at.tv_sec = static_cast<time_t>(due);
            at.tv_nsec = static_cast<long>(std::ceil((due - static_cast<double>(at.tv_sec)) * 1e9));
            if (at.tv_nsec >= 1000000000) {
                at.tv_sec += 1;
                at.tv_nsec -= 1000000000;
            }
            Unlocked release;
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);  // EINTR: the loop looks at the signal
        }
    }

    double interval_;
    std::optional<unsigned long long> count_;
    std::optional<double> duration_;
    unsigned long long taken_ = 0;
    double start_ = 0, end_ = HUGE_VAL;
    double period_ = 0;  // the grid point of the step last started
};

// What paced() and monitor() take, checked again here (the package's
// Python layer words the messages): interval from 0 to a day, count a
// whole number of at least 1 (None: no end), duration above 0 to a week.
Pacer pacerOf(double interval, const py::object& count, const py::object& duration) {
    if (!std::isfinite(interval) || interval < 0 || interval > 86400) throw usage("interval: 0 to 86400 seconds");
    std::optional<unsigned long long> steps;
    if (!count.is_none()) {
        if (!PyLong_Check(count.ptr()) || PyBool_Check(count.ptr())) throw usage("count: a whole number");
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow < 0 || (overflow == 0 && value < 1)) throw usage("count: a whole number of at least 1");
        if (overflow == 0) steps = static_cast<unsigned long long>(value);  // else more than will ever run
    }
    std::optional<double> seconds;
    if (!duration.is_none()) {
        seconds = duration.cast<double>();
        if (!std::isfinite(*seconds) || *seconds <= 0 || *seconds > 604800) {
            throw usage("duration: above 0 to 604800 seconds");
        }
    }
    return Pacer(interval, steps, seconds);
}

// The iterators of paced() and monitor(): plain C types, so that each
// step costs a call of tp_iternext. Like a generator, one ends for good
// once it raised, and refuses to be advanced from a second thread while a
// first waits in it.
struct PacedState {
    Pacer pacer;
    bool ended = false;
    bool running = false;
};

struct MonitorState {
    py::object owner;     // the Python Base, alive as long as the iterator
    orbitane::Base* base;  // the C++ Base in it
    std::vector<Reading> readings;
    Pacer pacer;
    size_t next = 0;  // the reading of the round that comes next
    bool ended = false;
    bool running = false;
};

template <class State>
struct IteratorObject {
    PyObject_HEAD
    State* state;
};

template <class State>
void iteratorDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<IteratorObject<State>*>(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

// One step of an iterator, by `advance` (a new reference, or nullptr at
// the end), under the generator's rules above.
template <class State, class Advance>
PyObject* iterate(PyObject* self, Advance&& advance) {
    State& state = *reinterpret_cast<IteratorObject<State>*>(self)->state;
    if (state.ended) return nullptr;
    if (state.running) {
        PyErr_SetString(PyExc_ValueError, "the iterator is already running in another thread");
        return nullptr;
    }
    state.running = true;
    PyObject* out = guarded([&] { return advance(state); });
    state.running = false;
    if (out == nullptr) state.ended = true;
    return out;
}

PyObject* pacedNext(PyObject* self) {
    return iterate<PacedState>(self, [](PacedState& s) -> PyObject* {
        if (!s.pacer.step()) return nullptr;
        return PyLong_FromUnsignedLongLong(s.pacer.taken() - 1);
    });
}

PyObject* monitorNext(PyObject* self) {
    return iterate<MonitorState>(self, [](MonitorState& s) -> PyObject* {
        if (s.next == 0) {
            checkSignals();
            if (!s.pacer.step()) return nullptr;
        }
        PyObject* reading = readingOf(*s.base, s.readings[s.next]);
        if (reading == nullptr) throw py::error_already_set();
        s.next = (s.next + 1) % s.readings.size();
        return reading;
    });
}

template <class State>
PyTypeObject* iteratorType(const char* qualified, const char* doc, iternextfunc next) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(iteratorDealloc<State>)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(next)},
        {0, nullptr},
    };
    PyType_Spec typeShape{qualified, static_cast<int>(sizeof(IteratorObject<State>)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    PyObject* type = PyType_FromSpec(&typeShape);
    if (type == nullptr) throw py::error_already_set();
    return reinterpret_cast<PyTypeObject*>(type);  // kept for the module's life
}

PyTypeObject* g_pacedType = nullptr;
PyTypeObject* g_monitorType = nullptr;

template <class State>
py::object iteratorOf(PyTypeObject* type, State* state) {
    std::unique_ptr<State> owned(state);
    auto* self = reinterpret_cast<IteratorObject<State>*>(PyObject_Malloc(type->tp_basicsize));
    if (self == nullptr) throw std::bad_alloc();
    PyObject_Init(reinterpret_cast<PyObject*>(self), type);
    self->state = owned.release();
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
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

    defineLightReadings(m);

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
        .def("finish", [](PyMotion& self) { return blocking(*self.base, [&] { return self.motion.finish(); }); })
        .def_property_readonly("at_rest",
                               [](const PyMotion& self) {
                                   py::gil_scoped_release release;
                                   return self.motion.atRest();
                               })
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
    py::class_<orbitane::Base> base(m, "Base", "A link to one base.");
    for (PyMethodDef& def : g_baseMethods) {
        auto method = py::reinterpret_steal<py::object>(
            PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(base.ptr()), &def));
        if (!method) throw py::error_already_set();
        base.attr(def.ml_name) = method;
    }
    base
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
        // For a loop that keeps a period.
        .def_property(
            "answer_timeout",
            [](const orbitane::Base& self) {
                return std::chrono::duration<double>(self.answerTimeout()).count();
            },
            [](orbitane::Base& self, double seconds) {
                // Bounded before the conversion, which a huge number would overflow.
                if (!std::isfinite(seconds) || seconds < 0 || seconds > 1) {
                    throw usage("answer_timeout: a number of seconds from 0.001 to 1, or 0");
                }
                self.setAnswerTimeout(std::chrono::nanoseconds(std::llround(seconds * 1e9)));
            })
        .def("would_wait",
             [](const orbitane::Base& self, const std::string& request) {
                 static const std::pair<const char*, orbitane::Request> NAMES[] = {
                     {"status", orbitane::Request::Status},   {"motor", orbitane::Request::Motor},
                     {"sensor", orbitane::Request::Sensor},   {"bumper", orbitane::Request::Bumper},
                     {"beacon", orbitane::Request::Beacon},   {"velocity", orbitane::Request::Velocity},
                     {"wheels", orbitane::Request::Wheels}};
                 for (const auto& name : NAMES) {
                     if (request == name.first) {
                         py::gil_scoped_release release;
                         return self.wouldWait(name.second);
                     }
                 }
                 throw usage("would_wait: \"" + request +
                             "\" is none of status, motor, sensor, bumper, beacon, velocity, wheels");
             },
             "request"_a)
        .def_property_readonly("link_lost",
                               [](const orbitane::Base& self) {
                                   py::gil_scoped_release release;
                                   return self.linkLost();
                               })
        .def("distances_mm",
             [](orbitane::Base& self) {
                 std::vector<double> mm = blocking(self, [&] { return self.distances(); });
                 for (double& d : mm) d = orbitane::jsonMillimetres(d);
                 return mm;
             })
        .def("bumper_bits", [](orbitane::Base& self) { return blocking(self, [&] { return self.bumperBits(); }); })
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

    // Pacing -----------------------------------------------------------
    g_pacedType = iteratorType<PacedState>("orbitane._orbitane.Paced", "The steps of orbitane.paced().", pacedNext);
    g_monitorType =
        iteratorType<MonitorState>("orbitane._orbitane.Monitor", "The readings of Base.monitor().", monitorNext);
    m.def(
        "paced",
        [](double interval, py::object count, py::object duration) {
            return iteratorOf(g_pacedType, new PacedState{pacerOf(interval, count, duration)});
        },
        "interval"_a, "count"_a, "duration"_a, "Steps 0, 1, 2, ... on the grid (the arguments checked by the package).");
    m.def(
        "monitor",
        [](py::object owner, const std::vector<std::string>& names, double interval, py::object count,
           py::object duration) {
            if (names.empty()) throw usage("monitor: name one or more readings");
            std::vector<Reading> readings;
            for (const std::string& name : names) readings.push_back(readingNamed(name));
            orbitane::Base* base = owner.cast<orbitane::Base*>();
            return iteratorOf(g_monitorType, new MonitorState{owner, base, std::move(readings),
                                                              pacerOf(interval, count, duration)});
        },
        "base"_a, "names"_a, "interval"_a, "count"_a, "duration"_a,
        "The readings of `names`, a round at each step of the grid (the arguments checked by the package).");
    m.def("describe_uri", [](const std::string& uri) { return orbitane::Endpoint::parse(uri).describe(); }, "uri"_a);
}
