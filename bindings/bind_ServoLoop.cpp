#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "bindings.h"

#include "TavixHardwareAPI/ServoLoop.h"

namespace tavix_bindings {

namespace {

using Devices::HapticEffect;
using Devices::Osmira;
using Devices::ServoLoop;
using LoopClass = py::class_<ServoLoop, std::unique_ptr<ServoLoop>>;

constexpr const char* kDriven = "Osmira is driven by a running ServoLoop";

HapticEffect Checked(const HapticEffect& effect) {
    if (const char* problem = effect.Problem()) throw py::value_error(std::string("ServoLoop: ") + problem);
    return effect;
}

HapticEffect Spring(const FloatList& center, F32 stiffness, F32 damping) {
    return Checked(HapticEffect::Spring(FirstThree(center, "center"), stiffness, damping));
}

HapticEffect Damping(F32 damping) { return Checked(HapticEffect::Damping(damping)); }

HapticEffect Wall(const FloatList& point, const FloatList& normal, F32 stiffness, F32 damping) {
    return Checked(HapticEffect::Wall(FirstThree(point, "point"), FirstThree(normal, "normal"), stiffness, damping));
}

HapticEffect ConstantForce(const FloatList& force) { return Checked(HapticEffect::ConstantForce(FirstThree(force, "force"))); }

int Add(ServoLoop& loop, const HapticEffect& effect) {
    const int id = loop.AddEffect(effect);
    if (id == 0) {
        throw std::runtime_error("ServoLoop: the effect table is full (" + std::to_string(ServoLoop::kMaxEffects) +
                                 " effects)");
    }
    return id;
}

void Set(ServoLoop& loop, int id, const HapticEffect& effect) {
    if (!loop.SetEffect(id, effect)) throw py::key_error("ServoLoop: no effect " + std::to_string(id));
}

const char* ReasonName(ServoLoop::StopReason reason) {
    switch (reason) {
        case ServoLoop::StopReason::NotStopped: return "not stopped";
        case ServoLoop::StopReason::Requested: return "requested";
        case ServoLoop::StopReason::MissedReplies: return "missed replies";
        case ServoLoop::StopReason::PortClosed: return "port closed";
    }
    return "unknown";
}

void Start(ServoLoop& loop) {
    // The claim waits for a call of another thread, which may need the interpreter lock to end:
    // a millisecond at a time without it, so that a signal handler that raises meanwhile ends
    // the wait (as LineCall does).
    for (;;) {
        switch (WithoutGil([&] { return loop.StartWithin(std::chrono::milliseconds(1)); })) {
            case ServoLoop::StartResult::Started:
            case ServoLoop::StartResult::AlreadyRunning:
                return;
            case ServoLoop::StartResult::Driven:
                throw std::runtime_error(kDriven);
            case ServoLoop::StartResult::Closed:
                throw std::runtime_error("ServoLoop: the interpreter is exiting");
            case ServoLoop::StartResult::Busy:
                if (PyErr_CheckSignals() != 0) throw py::error_already_set();
                break;
        }
    }
}

void Stop(ServoLoop& loop) { WithoutGil([&] { loop.Stop(); }); }

py::array_t<double> Vectors(const std::vector<ServoLoop::Sample>& samples, Devices::Vector3 ServoLoop::Sample::*field) {
    py::array_t<double> out({static_cast<py::ssize_t>(samples.size()), py::ssize_t{3}});
    auto view = out.mutable_unchecked<2>();
    for (size_t i = 0; i < samples.size(); ++i)
        for (size_t j = 0; j < 3; ++j) view(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(j)) = (samples[i].*field)[j];
    return out;
}

template <typename T, typename Get>
py::array_t<T> Column(const std::vector<ServoLoop::Sample>& samples, Get get) {
    py::array_t<T> out(static_cast<py::ssize_t>(samples.size()));
    auto view = out.template mutable_unchecked<1>();
    for (size_t i = 0; i < samples.size(); ++i) view(static_cast<py::ssize_t>(i)) = get(samples[i]);
    return out;
}

py::dict Telemetry(const ServoLoop& loop) {
    std::vector<ServoLoop::Sample> samples(loop.TelemetrySize());
    samples.resize(loop.CopyTelemetry(samples.data(), samples.size()));
    py::dict result;
    result["time"] = Column<double>(samples, [](const ServoLoop::Sample& s) { return s.time; });
    result["position"] = Vectors(samples, &ServoLoop::Sample::position);
    result["velocity"] = Vectors(samples, &ServoLoop::Sample::velocity);
    result["force"] = Vectors(samples, &ServoLoop::Sample::force);
    result["round_trip"] = Column<double>(samples, [](const ServoLoop::Sample& s) { return double{s.round_trip}; });
    result["replied"] = Column<bool>(samples, [](const ServoLoop::Sample& s) { return s.replied; });
    return result;
}

py::dict Stats(const ServoLoop& loop) {
    const ServoLoop::Stats stats = loop.GetStats();
    py::dict result;
    result["iterations"] = stats.iterations;
    result["missed_replies"] = stats.missed_replies;
    result["late_ticks"] = stats.late_ticks;
    result["running"] = stats.running;
    result["stop_reason"] = ReasonName(stats.stop_reason);
    result["round_trip_p50"] = stats.round_trip_p50;
    result["round_trip_p99"] = stats.round_trip_p99;
    result["round_trip_p999"] = stats.round_trip_p999;
    result["round_trip_max"] = stats.round_trip_max;
    result["priority"] = stats.priority;
    result["cpu"] = stats.cpu < 0 ? py::object(py::none()) : py::int_(stats.cpu);
    result["lock_memory"] = stats.lock_memory;
    return result;
}

std::unique_ptr<ServoLoop> Make(Osmira& arm, F32 rate_hz, F32 max_force, F32 ramp_seconds, Int<int> watchdog_misses,
                                F32 reply_timeout, Int<size_t> telemetry_size, F32 spin_seconds, Int<int> priority,
                                std::optional<Int<int>> cpu, bool lock_memory) {
    ServoLoop::Options options;
    options.rate_hz = rate_hz;
    options.max_force = max_force;
    options.ramp_seconds = ramp_seconds;
    options.watchdog_misses = watchdog_misses;
    options.reply_timeout = reply_timeout;
    options.telemetry_size = telemetry_size;
    options.spin_seconds = spin_seconds;
    options.priority = priority;
    // -1 is the library's "free"; from Python only None means that.
    options.cpu = !cpu ? -1 : cpu->value < 0 ? -2 : cpu->value;
    options.lock_memory = lock_memory;
    if (const char* problem = ServoLoop::Problem(options)) throw py::value_error(std::string("ServoLoop: ") + problem);
    return std::make_unique<ServoLoop>(arm, options);
}

void BindLifecycle(LoopClass& cls) {
    cls.def(py::init(&Make), py::arg("arm"), py::kw_only(), py::arg("rate_hz") = F32{0.0f}, py::arg("max_force"),
            py::arg("ramp_seconds") = F32{0.0f}, py::arg("watchdog_misses") = Int<int>{5}, ArgF32("reply_timeout", 0.02f),
            py::arg("telemetry_size") = Int<size_t>{4096}, ArgF32("spin_seconds", 100e-6f),
            py::arg("priority") = Int<int>{0}, py::arg("cpu") = std::optional<Int<int>>{}, py::arg("lock_memory") = false,
            py::keep_alive<1, 2>(),
            "A servo loop for `arm`; rate_hz 0 runs as fast as the arm answers. Forces are in the arm's force "
            "unit, positions in the unit of its link lengths, times in seconds. A reply wait busy-polls for "
            "spin_seconds, then sleeps until input comes (negative: never sleeps). priority (1-99) runs the "
            "loop's thread at that SCHED_FIFO real-time priority, cpu pins it to that processor, lock_memory "
            "locks the process's memory (mlockall); a request the system refuses is named once on standard "
            "error and the loop runs without it (stats() says what was granted).")
        .def("start", &Start, "Start driving the arm (other calls on it raise RuntimeError until the loop stops).")
        .def("stop", &Stop, "Stop the loop; its last command is a zero force.")
        .def_property_readonly("running", &ServoLoop::Running, "True while the loop drives the arm.")
        .def(
            "__enter__",
            [](py::object self) {
                Start(self.cast<ServoLoop&>());
                return self;
            },
            "Start the loop.")
        .def(
            "__exit__", [](ServoLoop& loop, const py::object&, const py::object&, const py::object&) { Stop(loop); },
            "Stop the loop, also on an exception.")
        .def("telemetry", &Telemetry,
             "Copies of the newest iterations, oldest first: time (s since the first start), position, velocity and "
             "commanded force (n x 3), round_trip (s), replied.")
        .def("stats", &Stats,
             "Counters, the stop reason, round-trip percentiles (s) over the telemetry window, and the "
             "scheduling the last run was granted (priority 0, cpu None, lock_memory False: not asked or refused).");
}

void BindEffects(LoopClass& cls) {
    cls.def(
           "add_spring",
           [](ServoLoop& loop, const FloatList& center, F32 stiffness, F32 damping) {
               return Add(loop, Spring(center, stiffness, damping));
           },
           py::arg("center"), py::arg("stiffness"), py::arg("damping") = F32{0.0f},
           "Add a spring to `center`: F = -stiffness (p - center) - damping v. Returns the effect's id.")
        .def(
            "set_spring",
            [](ServoLoop& loop, Int<int> id, const FloatList& center, F32 stiffness, F32 damping) {
                Set(loop, id, Spring(center, stiffness, damping));
            },
            py::arg("effect_id"), py::arg("center"), py::arg("stiffness"), py::arg("damping") = F32{0.0f},
            "Make effect `effect_id` this spring.")
        .def(
            "add_damping", [](ServoLoop& loop, F32 damping) { return Add(loop, Damping(damping)); }, py::arg("damping"),
            "Add viscous damping: F = -damping v. Returns the effect's id.")
        .def(
            "set_damping", [](ServoLoop& loop, Int<int> id, F32 damping) { Set(loop, id, Damping(damping)); },
            py::arg("effect_id"), py::arg("damping"), "Make effect `effect_id` this damping.")
        .def(
            "add_wall",
            [](ServoLoop& loop, const FloatList& point, const FloatList& normal, F32 stiffness, F32 damping) {
                return Add(loop, Wall(point, normal, stiffness, damping));
            },
            py::arg("point"), py::arg("normal"), py::arg("stiffness"), py::arg("damping") = F32{0.0f},
            "Add a one-sided wall through `point`: beyond it on the negative side of `normal` it pushes back along "
            "the normal. Returns the effect's id.")
        .def(
            "set_wall",
            [](ServoLoop& loop, Int<int> id, const FloatList& point, const FloatList& normal, F32 stiffness, F32 damping) {
                Set(loop, id, Wall(point, normal, stiffness, damping));
            },
            py::arg("effect_id"), py::arg("point"), py::arg("normal"), py::arg("stiffness"),
            py::arg("damping") = F32{0.0f}, "Make effect `effect_id` this wall.")
        .def(
            "add_constant_force", [](ServoLoop& loop, const FloatList& force) { return Add(loop, ConstantForce(force)); },
            py::arg("force"), "Add a constant force. Returns the effect's id.")
        .def(
            "set_constant_force",
            [](ServoLoop& loop, Int<int> id, const FloatList& force) { Set(loop, id, ConstantForce(force)); },
            py::arg("effect_id"), py::arg("force"), "Make effect `effect_id` this constant force.")
        .def(
            "remove_effect",
            [](ServoLoop& loop, Int<int> id) {
                if (!loop.RemoveEffect(id)) throw py::key_error("ServoLoop: no effect " + std::to_string(id.value));
            },
            py::arg("effect_id"), "Remove an effect by id.")
        .def("clear_effects", &ServoLoop::ClearEffects, "Remove every effect.");
}

}  // namespace

void bind_ServoLoop(py::module_& m) {
    LoopClass cls(m, "ServoLoop",
                  "A native loop that renders haptic effects on an Osmira, with a force limit, a fade-in ramp, a "
                  "watchdog and telemetry; the interpreter is never in the loop.");
    BindLifecycle(cls);
    BindEffects(cls);
    // Every loop still running at interpreter exit, whoever holds it (a daemon thread too), ends
    // with its zero force: atexit hooks run before the interpreter freezes its daemon threads,
    // and the loops' threads are native.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { WithoutGil(&ServoLoop::StopAllAtExit); }));
}

}  // namespace tavix_bindings
