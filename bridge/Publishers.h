// The bridge's publications: their writers and the filling of each message. Every message is
// stamped with the time of what it carries (CLOCK_REALTIME, nanoseconds since the epoch) and
// has frame_id NAME.
#pragma once

#include <dds/dds.h>

#include <array>
#include <cstdint>
#include <string>

#include "Dds.h"
#include "JointSolver.h"

namespace tavix_bridge {

struct ArmState {
    int64_t stamp_ns = 0;
    Vec3 position{}, velocity{}, force{};
};

struct Diagnostics {
    int64_t stamp_ns = 0;
    std::string hardware_id;  // the arm's port
    uint64_t rate_hz = 0, missed_replies = 0, watchdog = 0, commands_received = 0, commands_rejected = 0;
};

class Publishers {
public:
    // Makes the writers of NAME's state (and of its handle when `handle`), and /diagnostics.
    Publishers(Participant& participant, const std::string& name, bool handle);

    // pose, twist, wrench; joint_states too when `joints` is set (`rates` may be null).
    void PublishArm(const ArmState& state, const Vec3* joints, const Vec3* rates);
    void PublishHandle(int64_t stamp_ns, const float quaternion[4], uint8_t buttons);
    void PublishDiagnostics(const Diagnostics& diagnostics);

private:
    std::string name;
    std::string status_name;
    dds_entity_t joint_states = 0, pose = 0, twist = 0, wrench = 0;
    dds_entity_t orientation = 0, buttons = 0, diagnostics = 0;
};

}  // namespace tavix_bridge
