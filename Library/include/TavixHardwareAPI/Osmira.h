// The host-side object for one Osmira force-feedback arm on one serial stream.
//
// Control loop (each request one 13-byte frame: code, three little-endian binary32 values;
// each reply a header code and 24 bytes: two three-vectors, no length byte):
//   force 0x2A, end-effector position 0x2C -> state 0x2B (position, velocity);
//   joint torques 0x1A, joint angles 0x1C   -> joint state 0x1B (angles in degrees, angular
//                                              velocities).
// Queries (request bytes -> reply header, payload):
//   wake-up 0x0A -> 0x0B, the 21-byte identity record (DeviceInfo);
//   device / firmware identifier 0x0D 0xD1 / 0x0D 0xD2 -> 0x0D, then the selector, then a
//   length byte (16) and 16 identifier bytes;
//   motor currents 0xAB -> 0xAB, 3 floats; base orientation 0x0C -> 0x0C, quaternion of
//   4 floats; power status 0xAC -> 0xAC, 1 byte (bit 0: powered); temperature 0xAA -> 0xAA,
//   1 float.
//
// Every reply read waits at most read_timeout per wait (Device). A wrong header code prints a
// line naming the code received and the code expected, and is followed by one 1024-byte
// discard attempt; a missing reply never throws: outputs stay untouched (Receive*) or results
// are zero (queries), Device's error lines on standard error are the trace, and
// last_call_ok tells a program.
//
// Every answer belongs to its request (ReplyLedger): an exchange (Exchange*, the queries)
// first discards what earlier requests still owe, then sends, then reads its own reply; a
// send-only call writes its reply down as awaited, and a receive-only call takes the oldest
// awaited reply, discarding what was given up before it, so that several sends and then as
// many receives still pair up in order. When what is owed does not come within a whole
// read_timeout, the line is taken as silent: it is forgotten, the exchange still sends its
// request and fails at once with the timeout line (a silent arm costs one read_timeout per
// call), and its own reply is owed to the next caller. A reply later than twice its timeout
// therefore cannot be told from a lost one.
//
// The stream is not owned and must outlive the arm. Threads: one at a time per arm; the
// kinematic model (ArmModel) is process-wide and guarded on its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "TavixHardwareAPI/Device.h"
#include "TavixHardwareAPI/UUID.h"

namespace Tavix::HardwareAPI::Devices {

// x, y, z or joint 0, 1, 2.
using Vector3 = std::array<float, 3>;
// x, y, z, w as the arm sends it.
using Quaternion = std::array<float, 4>;

// The identity record of a wake-up reply (wire: device_id u16 LE, model, hardware version,
// firmware version, 16 identifier bytes). Zero-initialised means "no reply".
struct DeviceInfo {
    static constexpr size_t kWireSize = 21;

    uint16_t device_id = 0;
    uint8_t device_model_number = 0;
    uint8_t hardware_version = 0;
    uint8_t firmware_version = 0;
    UUID device_id_ext;

    // Decodes kWireSize bytes from `wire` (not owned).
    static DeviceInfo FromWire(const char* wire);
};

class Osmira : public Device {
public:
    // read_timeout 5.0 seconds.
    explicit Osmira(IO::SerialStream& stream);
    // `timeout` in seconds, stored unchanged: <= 0 makes every framed wait deadline-free.
    // Both constructors reset the process-wide arm model (gear coefficients 1.0, default
    // link lengths); its angle offsets survive.
    Osmira(IO::SerialStream& stream, float timeout);

    // Control loop exchanges: the request, then its own reply into the outputs; true when it
    // came (the outputs are untouched otherwise). The wire bytes are those of the Send and
    // Receive pair below.
    bool ExchangeForce(const Vector3& force, Vector3& position, Vector3& velocity);
    bool ExchangePosition(const Vector3& position_target, Vector3& position, Vector3& velocity);
    bool ExchangeJointTorques(const Vector3& torques, Vector3& angles, Vector3& velocities);
    bool ExchangeAngles(const Vector3& angles_target, Vector3& angles, Vector3& velocities);

    // Control loop requests: one frame each, nothing read. The reply is owed, awaited by
    // the matching Receive call.
    void SendForce(const Vector3& force);
    void SendPosition(const Vector3& position);
    void SendJointTorques(const Vector3& torques);
    void SendAngle(const Vector3& angles);
    // Reads the oldest awaited state (0x2B) / joint state (0x1B) reply into the outputs and
    // returns true; returns false with the outputs untouched when the reply is wrong or missing.
    bool ReceiveState(Vector3& position, Vector3& velocity);
    bool ReceiveJointState(Vector3& angles, Vector3& velocities);

    // Wake-up request (0x0A) and the identity record answering it; all zeros when missing.
    void SendDeviceWakeup();
    DeviceInfo ReceiveDeviceInfo();
    // Motor current request (0xAB) and its reply; `current` is written only on success.
    void RequestCurrent();
    bool ReceiveCurrent(Vector3& current);

    // One-shot queries: request and reply in one call; zeros (false) when the reply is
    // wrong or missing.
    UUID GetDeviceId();
    UUID GetFirmwareVersion();
    Vector3 GetMotorCurrents();
    Quaternion GetDeviceOrientation();
    bool GetPowerStatus();
    float GetTemperature();

    // Writes `n` bytes unframed in one write. Returns true only when something was written
    // and the stream's state is clean afterwards (its flags are sticky: a stream failed by
    // an earlier read or write makes every later send fail).
    bool SendRaw(const char* data, size_t n);

    // Whether the last call on this arm got its own complete reply (for a call that only
    // sends: whether its frame was written). False before the first call.
    bool last_call_ok = false;

private:
    // ReadHeaderCode; on a code other than `code`, the wrong-code line, one 1024-byte discard
    // attempt and false (what the line owed is then unknown and forgotten); otherwise true when
    // `length` payload bytes came into read_buffer. What did not come stays owed.
    bool ReadReply(uint8_t code, size_t length);
    // The two halves around an exchange's request. BeginRequest settles what earlier requests
    // owe: false when that was cancelled (nothing may be sent). ReplyDue, after the request went
    // out: false, with the reply of `headers` codes and `length` bytes owed and the timeout line
    // printed, when the line stayed silent while settling.
    bool BeginRequest(Settle& settled);
    bool ReplyDue(Settle settled, int headers, size_t length);
    // Exchange of a control-loop frame: `request` code and values, reply `reply` of two vectors.
    bool ExchangeVectors(uint8_t request, const Vector3& values, uint8_t reply, Vector3& first, Vector3& second);
    // A send-only request whose reply of `length` bytes a Receive call will take.
    void SendAwaited(uint8_t code, const float* values, int count, size_t length);
    // The oldest awaited reply `code` of `length` bytes, after what was given up before it.
    bool ReceiveAwaited(uint8_t code, size_t length);
    // Sends the one-byte request `code` and reads its reply of `length` bytes.
    bool Query(uint8_t code, size_t length);
    // The identifier query's exchange; true when the identifier is in read_buffer[1..17).
    bool IdentifierExchange(uint8_t selector);
    UUID ReadIdentifier(uint8_t selector);
    bool Finish(bool ok) { return last_call_ok = ok; }

    template <size_t N>
    std::array<float, N> PayloadFloats(size_t offset) const {
        std::array<float, N> out;
        std::memcpy(out.data(), read_buffer.get() + offset, sizeof out);
        return out;
    }
};

// Sends zero joint torques (0x1A), reads the joint angles back (zeros when the reply fails)
// and maps them to the end-effector position through a snapshot of the arm model: the
// model's lock is taken once, never across the exchange.
Vector3 ComputeEndEffectorPosition(Osmira& arm);

// Calibrates the angle offsets with the arm held at a known pose: `true_angles` are its
// joint angles in degrees. Sends the same zero-torque frame as ComputeEndEffectorPosition;
// with no reply the raw angles are taken as zero.
void AdjustAngles(Osmira& arm, const Vector3& true_angles);

}  // namespace Tavix::HardwareAPI::Devices
