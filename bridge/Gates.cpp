#include "Gates.h"

#include <algorithm>
#include <cmath>

namespace tavix_bridge {

bool CommandGate::Offer(const Force& force, double now) {
    if (!std::isfinite(force[0]) || !std::isfinite(force[1]) || !std::isfinite(force[2])) return false;
    // The norm in a way that cannot overflow for finite components.
    const double scale = std::max({std::fabs(force[0]), std::fabs(force[1]), std::fabs(force[2])});
    command = force;
    if (scale > 0.0) {
        const double a = force[0] / scale, b = force[1] / scale, c = force[2] / scale;
        const double unit = std::sqrt(a * a + b * b + c * c);  // the norm over `scale`
        if (scale * unit > max_force) {
            const double factor = max_force / unit;
            command = {a * factor, b * factor, c * factor};
        }
    }
    arrival = now;
    have_command = true;
    return true;
}

double CommandGate::Gain(double now) const {
    if (!have_command) return 0.0;
    const double late = (now - arrival) - timeout;
    if (late <= 0.0) return 1.0;
    return std::max(0.0, 1.0 - late / kRampSeconds);
}

Force CommandGate::Output(double now) const {
    const double gain = Gain(now);
    return {command[0] * gain, command[1] * gain, command[2] * gain};
}

void CouplingFade::Arrived(double now) {
    arrival = now;
    have_pose = true;
}

double CouplingFade::Update(double now) {
    const double dt = updated ? std::max(0.0, now - last_update) : 0.0;
    last_update = now;
    updated = true;
    const bool fresh = have_pose && now - arrival <= timeout;
    if (fresh)
        gain = std::min(1.0, gain + std::min(kMaxFadeInStep, dt / kFadeInSeconds));
    else
        gain = std::max(0.0, gain - dt / kFadeOutSeconds);
    return gain;
}

}  // namespace tavix_bridge
