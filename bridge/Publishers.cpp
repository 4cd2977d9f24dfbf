#include "Publishers.h"

#include <cstdio>

#include "ros_messages.h"

namespace tavix_bridge {

namespace {

void SetHeader(std_msgs_msg_dds__Header_& header, int64_t stamp_ns, const std::string& frame_id) {
    const Stamp stamp = ToStamp(stamp_ns);
    header.stamp.sec = stamp.sec;
    header.stamp.nanosec = stamp.nanosec;
    header.frame_id = const_cast<char*>(frame_id.c_str());  // only read by the write
}

char* Text(const char* text) { return const_cast<char*>(text); }

}  // namespace

Publishers::Publishers(Participant& participant, const std::string& name, bool handle)
    : name(name), status_name("tavix_bridge: " + name) {
    const std::string base = "/" + name;
    joint_states = participant.Writer(base + "/joint_states", "sensor_msgs/msg/JointState",
                                      &sensor_msgs_msg_dds__JointState__desc);
    pose = participant.Writer(base + "/pose", "geometry_msgs/msg/PoseStamped", &geometry_msgs_msg_dds__PoseStamped__desc);
    twist = participant.Writer(base + "/twist", "geometry_msgs/msg/TwistStamped",
                               &geometry_msgs_msg_dds__TwistStamped__desc);
    wrench = participant.Writer(base + "/wrench", "geometry_msgs/msg/WrenchStamped",
                                &geometry_msgs_msg_dds__WrenchStamped__desc);
    if (handle) {
        orientation = participant.Writer(base + "/handle/orientation", "geometry_msgs/msg/QuaternionStamped",
                                         &geometry_msgs_msg_dds__QuaternionStamped__desc);
        buttons = participant.Writer(base + "/handle/buttons", "sensor_msgs/msg/Joy", &sensor_msgs_msg_dds__Joy__desc);
    }
    diagnostics = participant.Writer("/diagnostics", "diagnostic_msgs/msg/DiagnosticArray",
                                     &diagnostic_msgs_msg_dds__DiagnosticArray__desc);
}

void Publishers::PublishArm(const ArmState& s, const Vec3* joints, const Vec3* rates) {
    geometry_msgs_msg_dds__PoseStamped_ p{};
    SetHeader(p.header, s.stamp_ns, name);
    p.pose.position = {s.position[0], s.position[1], s.position[2]};
    p.pose.orientation = {0.0, 0.0, 0.0, 1.0};
    dds_write(pose, &p);

    geometry_msgs_msg_dds__TwistStamped_ t{};
    SetHeader(t.header, s.stamp_ns, name);
    t.twist.linear = {s.velocity[0], s.velocity[1], s.velocity[2]};
    dds_write(twist, &t);

    geometry_msgs_msg_dds__WrenchStamped_ w{};
    SetHeader(w.header, s.stamp_ns, name);
    w.wrench.force = {s.force[0], s.force[1], s.force[2]};
    dds_write(wrench, &w);

    if (joints == nullptr) return;
    static char* const kNames[3] = {Text("joint1"), Text("joint2"), Text("joint3")};
    double position[3] = {(*joints)[0], (*joints)[1], (*joints)[2]};
    double velocity[3] = {};
    sensor_msgs_msg_dds__JointState_ j{};
    SetHeader(j.header, s.stamp_ns, name);
    j.name._length = j.name._maximum = 3;
    j.name._buffer = const_cast<char**>(kNames);
    j.position._length = j.position._maximum = 3;
    j.position._buffer = position;
    if (rates != nullptr) {
        for (int k = 0; k < 3; ++k) velocity[k] = (*rates)[k];
        j.velocity._length = j.velocity._maximum = 3;
        j.velocity._buffer = velocity;
    }
    dds_write(joint_states, &j);
}

void Publishers::PublishHandle(int64_t stamp_ns, const float quaternion[4], uint8_t pressed) {
    geometry_msgs_msg_dds__QuaternionStamped_ q{};
    SetHeader(q.header, stamp_ns, name);
    q.quaternion = {quaternion[0], quaternion[1], quaternion[2], quaternion[3]};
    dds_write(orientation, &q);

    int32_t states[3] = {pressed & 1, pressed >> 1 & 1, pressed >> 2 & 1};
    sensor_msgs_msg_dds__Joy_ joy{};
    SetHeader(joy.header, stamp_ns, name);
    joy.buttons._length = joy.buttons._maximum = 3;
    joy.buttons._buffer = states;
    dds_write(buttons, &joy);
}

void Publishers::PublishDiagnostics(const Diagnostics& d) {
    const uint64_t numbers[5] = {d.rate_hz, d.missed_replies, d.watchdog, d.commands_received, d.commands_rejected};
    static const char* const kKeys[5] = {"rate_hz", "missed_replies", "watchdog", "commands_received",
                                         "commands_rejected"};
    char texts[5][24];
    diagnostic_msgs_msg_dds__KeyValue_ values[5];
    for (int k = 0; k < 5; ++k) {
        std::snprintf(texts[k], sizeof texts[k], "%llu", static_cast<unsigned long long>(numbers[k]));
        values[k].key = Text(kKeys[k]);
        values[k].value = texts[k];
    }
    diagnostic_msgs_msg_dds__DiagnosticStatus_ status{};
    status.level = d.watchdog ? 2 : 0;  // OK, or ERROR once the watchdog stopped the servo loop
    status.name = const_cast<char*>(status_name.c_str());
    status.message = Text(d.watchdog ? "the arm stopped answering: servo loop stopped, zero force sent" : "running");
    status.hardware_id = const_cast<char*>(d.hardware_id.c_str());
    status.values._length = status.values._maximum = 5;
    status.values._buffer = values;

    diagnostic_msgs_msg_dds__DiagnosticArray_ array{};
    SetHeader(array.header, d.stamp_ns, name);
    array.status._length = array.status._maximum = 1;
    array.status._buffer = &status;
    dds_write(diagnostics, &array);
}

}  // namespace tavix_bridge
