// The device simulator: its physics and kinematics on their own, then its frames as the
// library's own Device reads them over the simulator's pseudo-terminals (in-process), and
// every fault mode as the library sees it.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ArmPhysics.h"
#include "ArmSim.h"
#include "HandleSim.h"
#include "Kinematics.h"
#include "Options.h"
#include "Simulator.h"
#include "TavixHardwareAPI/ArmModel.h"
#include "TavixHardwareAPI/Device.h"
#include "TavixHardwareAPI/Probe.h"
#include "TavixHardwareAPI/SerialStream.h"

using namespace tavix_devsim;
namespace hw = Tavix::HardwareAPI;
using std::chrono::milliseconds;

namespace {

Vec3 Along(int axis, double amount) {
    Vec3 v{};
    v[static_cast<size_t>(axis)] = amount;
    return v;
}
Vec3 Plus(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec3 Minus(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double Length(const Vec3& a) { return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]); }
double Distance(const Vec3& a, const Vec3& b) { return Length(Minus(a, b)); }

// What a host computes from reported joint angles at the default calibration.
std::array<float, 3> HostKinematics(const std::array<float, 3>& angles) {
    auto& model = hw::ArmModel::Instance();
    model.ResetForNewArm();
    model.SetAngleOffsets({0.0f, 0.0f, 0.0f});
    return hw::ForwardKinematics(model.Snapshot(), angles);
}

void ExpectHostKinematicsMatch(const std::array<float, 3>& angles, const Vec3& position) {
    const auto host = HostKinematics(angles);
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(host[i], position[i], kHostKinematicsTolerance) << "component " << i;
}

// Points of the workspace ball: its centre and, on two shells, the six axis directions and
// the eight diagonals.
std::vector<Vec3> WorkspaceSamples() {
    const Workspace& space = ArmPhysics::Space();
    std::vector<Vec3> points{space.center};
    for (const double shell : {0.5, 1.0}) {
        const double r = shell * space.radius;
        for (int axis = 0; axis < 3; ++axis)
            for (const double sign : {-1.0, 1.0}) points.push_back(Plus(space.center, Along(axis, sign * r)));
        const double d = r / std::sqrt(3.0);
        for (const double x : {-d, d})
            for (const double y : {-d, d})
                for (const double z : {-d, d}) points.push_back(Plus(space.center, {x, y, z}));
    }
    return points;
}

// ---- physics and kinematics ----

TEST(ArmPhysics, ForceMovesTheEndEffectorAlongIt) {
    for (int axis = 0; axis < 3; ++axis) {
        for (const double sign : {-1.0, 1.0}) {
            ArmPhysics arm;
            const Vec3 start = arm.Position();
            arm.CommandForce(Along(axis, sign));
            arm.Advance(0.05);
            const Vec3 moved = Minus(arm.Position(), start);
            SCOPED_TRACE("axis " + std::to_string(axis) + " sign " + std::to_string(sign));
            EXPECT_GT(sign * moved[static_cast<size_t>(axis)], 1e-3);
            EXPECT_NEAR(Length(moved), std::fabs(moved[static_cast<size_t>(axis)]), 1e-12);
            EXPECT_GT(sign * arm.Velocity()[static_cast<size_t>(axis)], 0.05);
        }
    }
}

TEST(ArmPhysics, DampingAndStictionBringTheMassToRest) {
    ArmPhysics arm;
    arm.CommandForce({0.5, 0.0, 0.0});
    arm.Advance(0.05);
    ASSERT_GT(Length(arm.Velocity()), 0.0);
    arm.CommandForce({0.0, 0.0, 0.0});
    arm.Advance(0.5);
    EXPECT_EQ(arm.Velocity(), (Vec3{0, 0, 0}));
    const Vec3 resting = arm.Position();
    arm.Advance(1.0);
    EXPECT_EQ(arm.Position(), resting);
    arm.CommandForce({0.01, 0.0, 0.0});  // below stiction
    arm.Advance(1.0);
    EXPECT_EQ(arm.Position(), resting);
}

TEST(ArmPhysics, PositionTargetsAreReachedAndHeldInsideTheWorkspace) {
    const Workspace& space = ArmPhysics::Space();
    ArmPhysics arm;
    const Vec3 target = Plus(space.center, {0.02, -0.015, 0.01});
    arm.CommandPosition(target);
    arm.Advance(1.0);
    EXPECT_LT(Distance(arm.Position(), target), 2e-4);
    EXPECT_EQ(arm.Velocity(), (Vec3{0, 0, 0}));

    arm.CommandPosition(Plus(space.center, {1.0, 0.0, 0.0}));  // far outside: held at the edge instead
    arm.Advance(1.0);
    EXPECT_NEAR(Distance(arm.Position(), space.center), space.radius, 2e-4);
    EXPECT_GT(arm.Position()[0] - space.center[0], space.radius - 1e-3);
}

TEST(ArmPhysics, TheMaximumForceStopsAtTheWorkspaceEdge) {
    const Workspace& space = ArmPhysics::Space();
    for (int axis = 0; axis < 3; ++axis) {
        for (const double sign : {-1.0, 1.0}) {
            ArmPhysics arm;
            arm.CommandForce(Along(axis, sign * 100.0));  // more than the motors can give
            arm.Advance(1.0);
            const Vec3 offset = Minus(arm.Position(), space.center);
            EXPECT_LE(Length(offset), space.radius + 1e-12);
            EXPECT_NEAR(sign * offset[static_cast<size_t>(axis)], space.radius, 1e-9);
            EXPECT_LE(sign * arm.Velocity()[static_cast<size_t>(axis)], 1e-12);  // not moving outwards
        }
    }
}

TEST(ArmPhysics, HostKinematicsOfTheJointAnglesGivesThePosition) {
    ArmPhysics arm;  // one arm visiting every sample, so each solve starts from the last pose
    for (const Vec3& point : WorkspaceSamples()) {
        arm.CommandPosition(point);
        arm.Advance(1.0);
        SCOPED_TRACE(std::to_string(point[0]) + ", " + std::to_string(point[1]) + ", " + std::to_string(point[2]));
        ExpectHostKinematicsMatch(arm.JointAngles(), arm.Position());
    }
}

TEST(ArmPhysics, JointTorquesActAsTheForceTheyStandFor) {
    const Vec3 force{0.3, -0.6, 0.4};
    ArmPhysics reference;
    reference.CommandForce(force);
    const Vec3 torques = reference.JointTorques();
    ASSERT_GT(Length(torques), 0.0);

    ArmPhysics arm;
    const Vec3 start = arm.Position();
    arm.CommandJointTorques(torques);
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(arm.JointTorques()[i], torques[i], 1e-6 * Length(torques));
    arm.Advance(0.05);
    const Vec3 moved = Minus(arm.Position(), start);
    const double cosine = (moved[0] * force[0] + moved[1] * force[1] + moved[2] * force[2]) / Length(moved) / Length(force);
    EXPECT_GT(cosine, 0.9999);
}

TEST(ArmPhysics, JointAngleTargetsAreReachedAndRatesMatchTheMotion) {
    ArmPhysics arm;
    const Vec3 goal{5.0, 68.0, -22.0};
    arm.CommandJointAngles(goal);
    arm.Advance(0.02);
    // Mid-motion: the reported rates are the angles' rate of change.
    const auto before = arm.JointAngles();
    const auto rates = arm.JointVelocities();
    arm.Advance(0.001);
    const auto after = arm.JointAngles();
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR((after[i] - before[i]) / 0.001, rates[i], 0.05 * std::fabs(rates[i]) + 0.05);

    arm.Advance(1.0);
    const auto reached = arm.JointAngles();
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(reached[i], goal[i], 0.05);
}

TEST(ArmPhysics, NonFiniteCommandsDoNotMoveTheArm) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ArmPhysics arm;
    const Vec3 start = arm.Position();
    arm.CommandForce({nan, 1.0, 0.0});
    arm.Advance(0.1);
    arm.CommandPosition({0.0, nan, 0.0});
    arm.CommandJointAngles({std::numeric_limits<double>::infinity(), 0.0, 0.0});
    arm.CommandJointTorques({nan, nan, nan});
    arm.Advance(0.1);
    EXPECT_EQ(arm.Position(), start);
    EXPECT_FALSE(arm.HoldingTarget());
}

// ---- the simulator's kinematics against the host's ----

// The host's model holding the simulator's calibration, rounded to binary32.
hw::ArmModelValues HostModel(const Calibration& c) {
    auto f = [](double v) { return static_cast<float>(v); };
    hw::ArmModelValues m;
    m.inner_arm_1 = f(c.inner_arm_1);
    m.outer_arm_1 = f(c.outer_arm_1);
    m.inner_arm_2 = f(c.inner_arm_2);
    m.outer_arm_2 = f(c.outer_arm_2);
    m.extension = f(c.extension);
    m.base_spacing = f(c.base_spacing);
    m.head_offset = f(c.head_offset);
    m.in_plane_offset = f(c.in_plane_offset);
    for (size_t i = 0; i < 3; ++i) {
        m.tool_offset[i] = f(c.tool_offset[i]);
        m.gear_coefficients[i] = f(c.gear_coefficients[i]);
        m.angle_offsets[i] = f(c.angle_offsets[i]);
    }
    for (size_t i = 0; i < 4; ++i) m.base_orientation[i] = f(c.base_orientation[i]);
    return m;
}

// Seeded random binary32 raw angles whose position, at the default calibration, lies in the
// workspace ball.
std::vector<std::array<float, 3>> WorkspacePoses(size_t count) {
    std::mt19937 random(20261208);
    std::uniform_real_distribution<double> head(-60, 60), inner(20, 110), outer(-70, 30);
    const Workspace& space = ArmPhysics::Space();
    std::vector<std::array<float, 3>> poses;
    while (poses.size() < count) {
        const std::array<float, 3> raw = ToFloats({head(random), inner(random), outer(random)});
        if (Distance(EndEffectorPosition(Calibration{}, {raw[0], raw[1], raw[2]}), space.center) <= space.radius)
            poses.push_back(raw);
    }
    return poses;
}

// The largest component difference between the host's kinematics under `host` and the
// simulator's under `simulated`, over `poses`.
double LargestDifference(const hw::ArmModelValues& host, const Calibration& simulated,
                         const std::vector<std::array<float, 3>>& poses) {
    double largest = 0.0;
    for (const auto& raw : poses) {
        const auto h = hw::ForwardKinematics(host, raw);
        const Vec3 d = EndEffectorPosition(simulated, {raw[0], raw[1], raw[2]});
        for (size_t i = 0; i < 3; ++i) largest = std::max(largest, std::fabs(double{h[i]} - d[i]));
    }
    return largest;
}

Calibration ChangedCalibration() {
    Calibration c;
    c.inner_arm_1 = 0.15, c.outer_arm_1 = 0.13, c.inner_arm_2 = 0.17, c.outer_arm_2 = 0.16, c.extension = 0.08;
    c.base_spacing = 0.01, c.in_plane_offset = 0.005, c.tool_offset = {0.002, -0.003, 0.19};
    c.gear_coefficients = {1.5, 0.8, 1.25};
    c.angle_offsets = {0.05, -0.1, 0.2};
    return c;
}

TEST(SimulatorKinematics, DefaultPoseAtZeroRawAngles) {
    const Vec3 p = EndEffectorPosition(Calibration{}, {0, 0, 0});
    EXPECT_NEAR(p[0], 0.0, 1e-4);
    EXPECT_NEAR(p[1], 0.0245, 1e-6);
    EXPECT_NEAR(p[2], -0.1185, 1e-4);
}

// Two implementations of one geometry, binary32 and double: over the workspace they part by
// rounding alone, for the default calibration and a changed one.
TEST(SimulatorKinematics, HostAgreesWithinTheToleranceOverTheWorkspace) {
    const auto poses = WorkspacePoses(20000);
    for (const Calibration& c : {Calibration{}, ChangedCalibration()}) {
        const double largest = LargestDifference(HostModel(c), c, poses);
        EXPECT_LT(largest, kHostKinematicsTolerance / 2) << "measured " << largest << " m";  // a margin of two at least
        std::ostringstream measured;
        measured << largest;
        RecordProperty(c.gear_coefficients[0] == 1.0 ? "default_m" : "changed_m", measured.str());
    }
}

// ... and the tolerance is tight enough that a host with a kinematic fault fails it.
TEST(SimulatorKinematics, ToleranceCatchesAHostKinematicsFault) {
    const auto poses = WorkspacePoses(200);
    const hw::ArmModelValues right = HostModel(Calibration{});
    const std::vector<std::pair<std::string, std::function<void(hw::ArmModelValues&)>>> faults = {
        {"head turning the wrong way", [](hw::ArmModelValues& m) { m.gear_coefficients[0] = -1.0f; }},
        {"head offset of the wrong sign", [](hw::ArmModelValues& m) { m.head_offset = -m.head_offset; }},
        {"first and second inner links swapped",
         [](hw::ArmModelValues& m) { std::swap(m.inner_arm_1, m.inner_arm_2); }},
        {"tool offset 0.1 mm out", [](hw::ArmModelValues& m) { m.tool_offset[2] += 1e-4f; }},
        {"outer joint 0.01 degree out", [](hw::ArmModelValues& m) { m.angle_offsets[2] = 0.01f * 3.141592f / 180; }},
    };
    for (const auto& [fault, apply] : faults) {
        hw::ArmModelValues wrong = right;
        apply(wrong);
        EXPECT_GT(LargestDifference(wrong, Calibration{}, poses), kHostKinematicsTolerance) << fault;
    }
}

// ---- handle readings and framing ----

TEST(HandleSim, FramedStatusIsEscapedAndChecksummed) {
    // Payload bytes 0xC0 and 0xDB travel escaped; the checksum includes the header 0xDA.
    uint8_t payload[kFramedPayloadSize] = {0x01, 0x00, 0x00, 0x45, 0xC0, 0, 0, 0, 0x00,
                                           0x40, 0xDB, 0x00, 0x00, 0xE0, 0xFF, 0x7F, 0xC8};
    uint8_t frame[kMaxFramedSize];
    const std::vector<uint8_t> expected{0xDA, 0x01, 0x00, 0x00, 0x45, 0xDB, 0xDC, 0x00, 0x00, 0x00, 0x00,
                                        0x40, 0xDB, 0xDD, 0x00, 0x00, 0xE0, 0xFF, 0x7F, 0xC8, 0x21, 0xC0};
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + EncodeFramedStatus(payload, sizeof payload, frame)), expected);

    payload[16] = 0x67;  // makes the checksum itself 0xC0
    const size_t n = EncodeFramedStatus(payload, sizeof payload, frame);
    EXPECT_EQ(std::vector<uint8_t>(frame + n - 4, frame + n), (std::vector<uint8_t>{0x67, 0xDB, 0xDC, 0xC0}));
}

TEST(HandleSim, ReadingsChangeOverTimeWithinTheirRanges) {
    std::vector<bool> buttons_seen(8), hall_seen(32);
    uint8_t previous_battery = 255;
    for (double t = 0.0; t < 12.0; t += 0.01) {
        const HandleReadings r = ReadingsAt(t);
        double norm = 0;
        for (const int16_t c : r.quaternion) norm += (c / 32768.0) * (c / 32768.0);
        ASSERT_NEAR(norm, 1.0, 1e-3) << "t=" << t;
        ASSERT_LE(r.buttons, 7);
        ASSERT_LE(r.hall_level, 31);
        ASSERT_LE(r.battery, previous_battery);  // it only runs down
        previous_battery = r.battery;
        buttons_seen[r.buttons] = true;
        hall_seen[r.hall_level] = true;
    }
    EXPECT_EQ(std::count(buttons_seen.begin(), buttons_seen.end(), true), 8);
    EXPECT_TRUE(hall_seen[0] && hall_seen[31]);
    EXPECT_LT(ReadingsAt(12.0).battery, ReadingsAt(0.0).battery);
    EXPECT_NE(ReadingsAt(0.0).quaternion, ReadingsAt(1.0).quaternion);
}

// ---- command line ----

CommandLine Parse(const std::vector<const char*>& args) {
    std::vector<const char*> argv{"tavix-devsim"};
    argv.insert(argv.end(), args.begin(), args.end());
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, DefaultsAndValues) {
    const CommandLine defaults = Parse({});
    ASSERT_EQ(defaults.error, "");
    EXPECT_EQ(defaults.options.arms, 1u);
    EXPECT_EQ(defaults.options.handles, 1u);
    EXPECT_EQ(defaults.options.device_id, 1);
    EXPECT_EQ(defaults.options.status_hz, 100.0);
    EXPECT_EQ(defaults.options.notify_hz, 0.0);
    EXPECT_FALSE(defaults.options.json || defaults.options.spin || defaults.options.exit_with_parent);

    const CommandLine given = Parse({"--arm", "3", "--handle=0", "--device-id", "4660", "--notify-hz", "250.5",
                                     "--status-hz=0", "--json", "--spin", "--exit-with-parent"});
    ASSERT_EQ(given.error, "");
    EXPECT_EQ(given.options.arms, 3u);
    EXPECT_EQ(given.options.handles, 0u);
    EXPECT_EQ(given.options.device_id, 4660);
    EXPECT_EQ(given.options.notify_hz, 250.5);
    EXPECT_EQ(given.options.status_hz, 0.0);
    EXPECT_TRUE(given.options.json && given.options.spin && given.options.exit_with_parent);
    EXPECT_TRUE(Parse({"--help"}).help);
}

TEST(CommandLine, FaultsGoToEveryDeviceOfAKindOrToOne) {
    const CommandLine c = Parse({"--arm", "2", "--handle", "2", "--arm-faults", "drop=3,delay=50", "--arm-faults",
                                 "1:hangup=4,drip=2", "--handle-faults=0:garbage=2,flood=5"});
    ASSERT_EQ(c.error, "");
    FaultPlan every;
    every.drop_every = 3;
    every.delay = milliseconds(50);
    FaultPlan second = every;
    second.hangup_after = 4;
    second.drip = milliseconds(2);
    FaultPlan first_handle;
    first_handle.garbage_every = 2;
    first_handle.flood = 5;
    EXPECT_EQ(c.options.arm_faults, (std::vector<FaultPlan>{every, second}));
    EXPECT_EQ(c.options.handle_faults, (std::vector<FaultPlan>{first_handle, FaultPlan{}}));
}

TEST(CommandLine, ExplainsWhatItCannotDo) {
    const std::vector<std::pair<std::vector<const char*>, const char*>> cases{
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"extra"}, "unknown option 'extra'"},
        {{"--arm"}, "--arm needs a value"},
        {{"--arm", "-1"}, "--arm: '-1' is not a count"},
        {{"--arm", "33"}, "--arm: '33' is not a count from 0 to 32"},
        {{"--arm", "0", "--handle", "0"}, "nothing to simulate"},
        {{"--device-id", "65536"}, "is not an id from 0 to 65535"},
        {{"--arm", "2", "--device-id", "65535"}, "would run past 65535"},
        {{"--notify-hz", "fast"}, "is not 0 or a rate"},
        {{"--status-hz", "nan"}, "is not 0 or a rate"},
        {{"--status-hz", "1e-9"}, "is not 0 or a rate from 0.01 to 100000"},
        {{"--json=1"}, "--json takes no value"},
        {{"--arm-faults", "drop=0"}, "fault 'drop' takes a whole number from 1"},
        {{"--arm-faults", "delay=5ms"}, "not '5ms'"},
        {{"--arm-faults", "drop"}, "fault 'drop' needs a value"},
        {{"--arm-faults", "jam=1"}, "unknown fault 'jam'"},
        {{"--arm-faults", ""}, "empty fault list"},
        {{"--handle-faults", "1:drop=2"}, "no handle 1 to give faults to"},
    };
    for (const auto& [args, message] : cases) {
        const CommandLine c = Parse(args);
        EXPECT_NE(c.error.find(message), std::string::npos) << "got: " << c.error;
    }
}

// ---- frames through the library ----

Options Devices(unsigned arms, unsigned handles) {
    Options options;
    options.arms = arms;
    options.handles = handles;
    options.status_hz = 0;  // no stream unless a test asks for one
    options.arm_faults.assign(arms, FaultPlan{});
    options.handle_faults.assign(handles, FaultPlan{});
    return options;
}

Options ArmWithFaults(const char* text) {
    Options options = Devices(1, 0);
    EXPECT_EQ(ParseFaultList(text, options.arm_faults[0]), "");
    return options;
}

// A running simulator and the library's Device on its first arm (or first handle).
struct Session {
    explicit Session(const Options& options, float timeout = 0.5f)
        : simulator(options),
          path(options.arms > 0 ? simulator.ArmPaths().front() : simulator.HandlePaths().front()),
          stream(path.c_str()),
          device(stream, timeout) {
        simulator.Start();
    }

    void Send(std::initializer_list<uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), device.write_buffer.get());
        device.SendBytes(bytes.size());
    }
    void SendVector(uint8_t code, const Vec3& v) {
        const float values[3] = {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
        device.SendCommand(code, values, 3);
    }
    uint8_t Byte(size_t i) const { return static_cast<uint8_t>(device.read_buffer[i]); }
    std::vector<float> Floats(size_t count) const {
        std::vector<float> out(count);
        std::memcpy(out.data(), device.read_buffer.get(), count * sizeof(float));
        return out;
    }
    // Reads one reply whose header must be `code`: `count` floats.
    std::vector<float> Reply(uint8_t code, size_t count) {
        EXPECT_EQ(device.ReadHeaderCode(), code);
        EXPECT_EQ(device.ReadBytes(count * sizeof(float)), static_cast<int>(count * sizeof(float)));
        return Floats(count);
    }
    // One state exchange: (position or angles, velocity or rates).
    std::pair<Vec3, Vec3> Exchange(uint8_t code, const Vec3& v) {
        SendVector(code, v);
        const auto f = Reply(code == 0x2A || code == 0x2C ? 0x2B : 0x1B, 6);
        return {{f[0], f[1], f[2]}, {f[3], f[4], f[5]}};
    }

    // Expects no answer within the read timeout; returns the error line(s) printed.
    std::string NoAnswer() {
        testing::internal::CaptureStderr();
        EXPECT_EQ(device.ReadHeaderCode(), 0);
        return testing::internal::GetCapturedStderr();
    }
    // Holds `target` until the arm rests there (within 1 mm); returns where it rests.
    Vec3 Settle(const Vec3& target) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        for (;;) {
            const auto [position, velocity] = Exchange(0x2C, target);
            if ((velocity == Vec3{0, 0, 0} && Distance(position, target) < 1e-3) ||
                std::chrono::steady_clock::now() > deadline)
                return position;
        }
    }

    Simulator simulator;
    std::string path;
    hw::IO::SerialStream stream;
    hw::Devices::Device device;
};

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

TEST(DevSimArm, AnswersEveryQueryInItsFrame) {
    Options options = Devices(1, 0);
    options.device_id = 0x1234;
    Session s(options);

    s.Send({0x0A});
    ASSERT_EQ(s.device.ReadHeaderCode(), 0x0B);
    ASSERT_EQ(s.device.ReadBytes(21), 21);
    EXPECT_EQ(s.Byte(0) | s.Byte(1) << 8, 0x1234);
    EXPECT_EQ(s.Byte(2), 4);  // the arm's model number
    EXPECT_EQ(s.Byte(3), kArmHardwareVersion);
    EXPECT_EQ(s.Byte(4), kArmFirmwareVersion);
    const std::vector<uint8_t> identity(s.device.read_buffer.get() + 5, s.device.read_buffer.get() + 21);

    for (const uint8_t selector : {uint8_t{0xD1}, uint8_t{0xD2}}) {
        s.Send({0x0D, selector});
        ASSERT_EQ(s.device.ReadHeaderCode(), 0x0D);
        ASSERT_EQ(s.device.ReadHeaderCode(), selector);
        ASSERT_EQ(s.device.ReadBytes(17), 17);
        EXPECT_EQ(s.Byte(0), 16);
        const std::vector<uint8_t> id(s.device.read_buffer.get() + 1, s.device.read_buffer.get() + 17);
        if (selector == 0xD1) EXPECT_EQ(id, identity);  // the wake-up carries the device identifier
        else EXPECT_NE(id, identity);
        EXPECT_EQ(id[6] >> 4, 4);  // shaped like a random UUID
    }

    s.Send({0x0C});
    const auto orientation = s.Reply(0x0C, 4);
    EXPECT_EQ(orientation[0], 0.0f);
    EXPECT_NEAR(orientation[1], 0.7071, 1e-4);
    EXPECT_EQ(orientation[2], 0.0f);
    EXPECT_NEAR(orientation[3], 0.7071, 1e-4);

    s.Send({0xAC});
    ASSERT_EQ(s.device.ReadHeaderCode(), 0xAC);
    ASSERT_EQ(s.device.ReadBytes(1), 1);
    EXPECT_EQ(s.Byte(0) & 1, 1);  // powered

    s.Send({0xAA});
    const float celsius = s.Reply(0xAA, 1)[0];
    EXPECT_GE(celsius, 25.0f);
    EXPECT_LE(celsius, 35.0f);

    s.Send({0xAB});
    EXPECT_EQ(s.Reply(0xAB, 3), std::vector<float>(3, 0.0f));  // no force, no current
    s.Exchange(0x2A, {0.0, 0.0, 2.0});
    s.Send({0xAB});
    const auto amperes = s.Reply(0xAB, 3);
    EXPECT_GT(std::fabs(amperes[0]) + std::fabs(amperes[1]) + std::fabs(amperes[2]), 0.1);

    s.Send({0x55, 0x0C});  // a byte that is no request is skipped
    EXPECT_EQ(s.device.ReadHeaderCode(), 0x0C);
}

TEST(DevSimArm, ForceMovesTheReportedPositionAlongIt) {
    Session s(Devices(1, 0));
    for (int axis = 0; axis < 3; ++axis) {
        SCOPED_TRACE("axis " + std::to_string(axis));
        const Vec3 start = s.Settle(ArmPhysics::Space().center);
        Vec3 position = start, velocity{};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (position[static_cast<size_t>(axis)] - start[static_cast<size_t>(axis)] < 0.005 &&
               std::chrono::steady_clock::now() < deadline)
            std::tie(position, velocity) = s.Exchange(0x2A, Along(axis, 2.0));
        const Vec3 moved = Minus(position, start);
        EXPECT_GE(moved[static_cast<size_t>(axis)], 0.005);
        EXPECT_NEAR(Length(moved), moved[static_cast<size_t>(axis)], 1e-5);
        EXPECT_GT(velocity[static_cast<size_t>(axis)], 0.0);

        // Pushed back the other way, it turns round.
        const Vec3 turned = position;
        const auto back = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (position[static_cast<size_t>(axis)] > turned[static_cast<size_t>(axis)] - 0.005 &&
               std::chrono::steady_clock::now() < back)
            position = s.Exchange(0x2A, Along(axis, -2.0)).first;
        EXPECT_LE(position[static_cast<size_t>(axis)], turned[static_cast<size_t>(axis)] - 0.005);
    }
}

TEST(DevSimArm, HostKinematicsOfReportedAnglesGivesTheReportedPosition) {
    Session s(Devices(1, 0));
    const Workspace& space = ArmPhysics::Space();
    for (const Vec3& target : {Plus(space.center, {0.03, 0.01, -0.02}), Plus(space.center, Along(2, space.radius)),
                               Plus(space.center, {-0.02, -0.03, 0.0})}) {
        s.Settle(target);
        const auto [angles, rates] = s.Exchange(0x1A, {0, 0, 0});
        EXPECT_EQ(rates, (Vec3{0, 0, 0}));
        const Vec3 position = s.Exchange(0x2A, {0, 0, 0}).first;
        EXPECT_LT(Distance(position, target), 1e-3);
        ExpectHostKinematicsMatch({static_cast<float>(angles[0]), static_cast<float>(angles[1]),
                                   static_cast<float>(angles[2])},
                                  position);
        // Targeting the angles it reports keeps it where it is.
        EXPECT_LT(Distance(s.Exchange(0x1C, angles).first, angles), 1e-4);
    }
}

TEST(DevSimArm, NotificationsArriveBetweenRepliesAndAreSkipped) {
    Options options = Devices(1, 0);
    options.notify_hz = 500;
    Session s(options);
    ASSERT_EQ(s.device.ReadBytes(7), 7);  // raw: the first notification frame
    EXPECT_EQ(s.Byte(0), 0xBA);
    EXPECT_EQ(s.Byte(2), 4);
    // Exchanging for long enough that notifications come between the replies.
    const auto until = std::chrono::steady_clock::now() + milliseconds(50);
    while (std::chrono::steady_clock::now() < until) s.Exchange(0x2A, {0, 0, 0});
}

TEST(DevSimArm, AnUnfinishedRequestIsAbandoned) {
    Session s(Devices(1, 0), 0.15f);
    s.Send({0x2A, 0x00, 0x00, 0x00});  // a force request cut short
    s.NoAnswer();
    s.Send({0x0A});  // not taken as the rest of the force request
    EXPECT_EQ(s.device.ReadHeaderCode(), 0x0B);
}

TEST(DevSimHandle, AnswersWakeUpAndStatusAndEchoesUserData) {
    Options options = Devices(0, 1);
    options.device_id = 0x0102;
    Session s(options);

    s.Send({0x0A});
    ASSERT_EQ(s.device.ReadHeaderCode(), 0xD0);
    ASSERT_EQ(s.device.ReadBytes(6), 6);
    EXPECT_EQ(s.Byte(0), 0);  // tool_data_remaining
    EXPECT_EQ(s.Byte(1) | s.Byte(2) << 8, 0x0102);
    EXPECT_EQ(s.Byte(3), kHandleModelNumber);
    EXPECT_EQ(s.Byte(4), kHandleHardwareVersion);
    EXPECT_EQ(s.Byte(5), kHandleFirmwareVersion);

    auto status = [&s](size_t user_data) {
        s.Send({0xDA});
        ASSERT_EQ(s.device.ReadHeaderCode(), 0xDA);
        ASSERT_EQ(s.device.ReadBytes(21), 21);
        EXPECT_EQ(s.Byte(0) | s.Byte(1) << 8, 0x0102);
        EXPECT_EQ(s.Byte(2), 0);  // error_flag
        EXPECT_LE(s.Byte(3), 31);
        float q[4];
        std::memcpy(q, s.device.read_buffer.get() + 4, sizeof q);
        EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0, 1e-3);
        ASSERT_EQ(s.Byte(20), user_data);
    };
    status(0);
    s.Send({0xDB, 0x02, 0x01, 3, 0xAA, 0xBB, 0xCC});
    for (int again = 0; again < 2; ++again) {  // the handle keeps the state it was given
        status(3);
        ASSERT_EQ(s.device.ReadBytes(3), 3);
        EXPECT_EQ(std::vector<uint8_t>(s.device.read_buffer.get(), s.device.read_buffer.get() + 3),
                  (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
    }
    s.Send({0xDB, 0x02, 0x01, 0});
    status(0);
}

// The probe tells the simulated arm by its identity record and the handle that streams its
// status (framed, so its first message may be a frame rather than the wake-up's answer).
TEST(DevSimProbe, TellsTheArmAndTheStreamingHandle) {
    Options options = Devices(1, 1);
    options.status_hz = 200;
    options.device_id = 7;
    Simulator simulator(options);
    simulator.Start();
    const hw::PortVerdict arm = hw::ProbePort(simulator.ArmPaths().front(), milliseconds(1000));
    ASSERT_EQ(arm.kind, hw::ProbeKind::Arm);
    EXPECT_EQ(arm.identity.device_id, 7);
    const hw::PortVerdict handle = hw::ProbePort(simulator.HandlePaths().front(), milliseconds(1000));
    ASSERT_EQ(handle.kind, hw::ProbeKind::Handle);
    ASSERT_TRUE(handle.has_versions);  // the wake-up's answer, even when a frame came first
    EXPECT_EQ(handle.identity.device_id, 7);
    EXPECT_EQ(handle.identity.device_model_number, kHandleModelNumber);
}

// ---- fault modes, as the library's reader meets them ----

TEST(DevSimFaults, DropLosesEveryNthAnswer) {
    Session s(ArmWithFaults("drop=2"), 0.2f);
    s.Exchange(0x2A, {0, 0, 0});
    s.SendVector(0x2A, {0, 0, 0});
    EXPECT_NE(s.NoAnswer().find("timeout waiting for header code"), std::string::npos);
    s.Exchange(0x2A, {0, 0, 0});
}

TEST(DevSimFaults, DelayHoldsAnswersBack) {
    Session s(ArmWithFaults("delay=150"), 0.05f);
    const auto sent = std::chrono::steady_clock::now();
    s.SendVector(0x2A, {0, 0, 0});
    s.NoAnswer();  // too impatient
    s.device.read_timeout = 2.0f;
    EXPECT_EQ(s.device.ReadHeaderCode(), 0x2B);
    EXPECT_GE(Seconds(std::chrono::steady_clock::now() - sent), 0.150);
    EXPECT_EQ(s.device.ReadBytes(24), 24);
}

TEST(DevSimFaults, GarbageComesBeforeEveryNthAnswer) {
    Session s(ArmWithFaults("garbage=2"));
    s.Exchange(0x2A, {0, 0, 0});
    s.SendVector(0x2A, {0, 0, 0});
    const uint8_t code = s.device.ReadHeaderCode();
    EXPECT_GE(code, 0x60);
    EXPECT_LE(code, 0x7F);
    ASSERT_EQ(s.device.ReadBytes(kGarbageBurst - 1), static_cast<int>(kGarbageBurst - 1));
    for (size_t i = 0; i + 1 < kGarbageBurst; ++i) EXPECT_EQ(s.Byte(i) & 0xE0, 0x60);
    EXPECT_EQ(s.Reply(0x2B, 6).size(), 6u);  // the answer follows the burst
    s.Exchange(0x2A, {0, 0, 0});
}

TEST(DevSimFaults, FloodPutsNotificationsBeforeEveryAnswer) {
    Session s(ArmWithFaults("flood=3"));
    s.SendVector(0x2A, {0, 0, 0});
    ASSERT_EQ(s.device.ReadBytes(3 * 7 + 25), 3 * 7 + 25);  // raw: three notifications, then the answer
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(s.Byte(7 * i), 0xBB);
        EXPECT_EQ(s.Byte(7 * i + 2), 4);
    }
    EXPECT_EQ(s.Byte(21), 0x2B);
    s.Exchange(0x2A, {0, 0, 0});  // the reader skips them
}

TEST(DevSimFaults, DripSendsOneByteAtATime) {
    Session s(ArmWithFaults("drip=5"), 2.0f);
    s.SendVector(0x2A, {0, 0, 0});
    ASSERT_EQ(s.device.ReadHeaderCode(), 0x2B);
    const auto header = std::chrono::steady_clock::now();
    ASSERT_EQ(s.device.ReadBytes(24), 24);
    EXPECT_GE(Seconds(std::chrono::steady_clock::now() - header), 23 * 0.005);
}

TEST(DevSimFaults, HeldBackOutputIsBounded) {
    Pty pty;
    FaultPlan plan;
    plan.drip = milliseconds(1000);
    plan.flood = 1000;  // 7000 bytes before each 25-byte answer, leaving at one byte a second
    Line line(pty, plan);
    const uint8_t answer[25] = {0x2B};
    for (int i = 0; i < 20; ++i) line.SendAnswer(answer, sizeof answer, Clock::now());
    EXPECT_LE(line.Unread(), 64u * 1024);
    EXPECT_GE(line.Unread(), 9u * 7025 - 1);  // nine whole messages fit, the rest are lost
}

TEST(DevSimFaults, HangUpCutsTheLineAfterNExchanges) {
    Session s(ArmWithFaults("hangup=2"), 0.2f);
    const int watcher = open(s.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(watcher, 0);
    s.Exchange(0x2A, {0, 0, 0});
    s.Exchange(0x2A, {0, 0, 0});  // the second answer still arrives whole
    pollfd p{watcher, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    close(watcher);
    testing::internal::CaptureStderr();
    s.SendVector(0x2A, {0, 0, 0});
    EXPECT_EQ(s.device.ReadHeaderCode(), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("unable to write '13' bytes"), std::string::npos);
}

}  // namespace
