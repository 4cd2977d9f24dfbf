// The bridge's safety rules on what comes from the network, as pure classes: times are
// seconds on the steady clock, passed in by the caller, so that they are tested without DDS
// and without sleeping.
//
// CommandGate: the force command. A command whose force has a non-finite component is
// rejected; an accepted one is clamped to max_force (its norm, direction kept) and replaces the
// last one, whoever sent it: the latest arrival wins. While the last command is at most
// `timeout` old (by arrival time) it is rendered whole; after that its gain falls linearly to
// zero over kRampSeconds, so the force is zero within 0.2 s of the timeout. A new command is
// rendered at once.
//
// CouplingFade: the gain of the teleoperation coupling (0 to 1). While the followed arm's pose
// arrives (the last one at most `timeout` old) it rises by at most 1 / kFadeInSeconds per
// second, and never by more than kMaxFadeInStep at once (a control thread that stalled resumes
// the fade where it was, never in one step); once the poses stop it falls to zero within
// kFadeOutSeconds.
#pragma once

#include <array>

namespace tavix_bridge {

using Force = std::array<double, 3>;

class CommandGate {
public:
    static constexpr double kRampSeconds = 0.15;

    CommandGate(double timeout, double max_force) : timeout(timeout), max_force(max_force) {}
    // False (and nothing changes) when `force` has a non-finite component.
    bool Offer(const Force& force, double now);
    // The gain of the last command at `now`: 1 while fresh, then a ramp down to 0; 0 without one.
    double Gain(double now) const;
    // The force to render at `now`: the last command, clamped, times Gain.
    Force Output(double now) const;

private:
    double timeout, max_force;
    Force command{};
    double arrival = 0.0;
    bool have_command = false;
};

class CouplingFade {
public:
    static constexpr double kFadeInSeconds = 0.5;
    static constexpr double kFadeOutSeconds = 0.15;
    static constexpr double kMaxFadeInStep = 0.02;

    explicit CouplingFade(double timeout) : timeout(timeout) {}
    // A pose of the followed arm arrived at `now`.
    void Arrived(double now);
    // Advances the gain to `now` and returns it.
    double Update(double now);
    double Gain() const { return gain; }

private:
    double timeout;
    double gain = 0.0;
    double last_update = 0.0;
    bool updated = false;
    double arrival = 0.0;
    bool have_pose = false;
};

}  // namespace tavix_bridge
