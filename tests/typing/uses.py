"""Calls a program makes, type-checked against the typed interface by `make stubtest`.

Never run: mypy --strict reads it. Each line marked `type: ignore[...]` must be an error
(unused ignores are errors too), so the file pins what the interface accepts and refuses.
"""

import uuid

import numpy as np

import TavixHardwareAPI as api


def arm_loop(stream: api.SerialStream) -> float:
    arm = api.Osmira(stream, timeout=0.2)
    position, velocity = arm.end_effector_force([0.0, 0.0, 1.0])
    arm.end_effector_force((0, 0, 1))
    arm.joint_torques(np.zeros(3))
    arm.SendForce(1.0, 2.0, 3.0)
    arm.end_effector_force("xyz")  # type: ignore[arg-type]
    arm.end_effector_force({1.0, 2.0, 3.0})  # type: ignore[arg-type]
    identifier: uuid.UUID = arm.get_device_id()
    info = arm.device_wakeup_dict()
    model: int = info["device_model_number"]
    arm.device_wakeup_dict()["no such key"]  # type: ignore[typeddict-item]
    currents: list[float] = arm.get_motor_currents()
    return position[0] + velocity[0] + currents[0] + model + len(identifier.hex)


def handle_use(stream: api.SerialStream) -> float:
    handle = api.Handle(stream)
    handle.SendHandleState(0x1234, 2, b"\xaa\xbb")
    handle.SendHandleState(0x1234, 2, [0xAA, 0xBB])
    handle.SendHandleState(device_id=1)
    handle.SendHandleState(1, 1, 2.5)  # type: ignore[arg-type]
    status = handle.GetHoldraStatus()
    battery: float = status["battery_level"]
    count: int = handle.Receive()
    return battery + count + status["quaternion"][0]


def servo_use(arm: api.Osmira) -> float:
    with api.ServoLoop(arm, rate_hz=1000.0, max_force=2.0, ramp_seconds=0.5) as loop:
        spring = loop.add_spring([0.0, 0.0, 0.1], 200.0, damping=1.0)
        loop.set_spring(spring, np.zeros(3), 100.0)
        loop.add_wall((0, 0, 0), (0, 0, 1), 500.0)
        loop.remove_effect(spring)
        stats = loop.stats()
        samples = loop.telemetry()
    api.ServoLoop(arm)  # type: ignore[call-arg]
    api.ServoLoop(arm, 1000.0, 2.0)  # type: ignore[call-arg]
    pinned = api.ServoLoop(arm, max_force=1.0, priority=80, cpu=None, lock_memory=True).stats()["cpu"]
    pinned + 1  # type: ignore[operator]  # None when the loop runs on any processor
    loop.add_damping("strong")  # type: ignore[arg-type]
    reason: str = stats["stop_reason"]
    return float(samples["position"][-1, 0]) + stats["round_trip_p50"] + len(reason)


def probe_use() -> list[str]:
    described = []
    for path, kind in api.scan_serial_ports():
        verdict = api.probe_port(path, 0.5)
        identity = verdict["identity"]
        device_id: int = identity["device_id"] if identity is not None else -1
        answer: bytes = verdict["answer"]
        described.append(f"{verdict['kind']} {kind} {device_id} {answer.hex()} {verdict['errno']}")
        verdict["nonsense"]  # type: ignore[typeddict-item]
    api.probe_port(b"/dev/ttyACM0", 0.5)  # type: ignore[arg-type]
    return described
