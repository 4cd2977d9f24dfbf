"""Python Implementation of the Tavix Hardware API"""

import uuid
from typing import Annotated, Literal, Never, Protocol, Self, TypedDict, overload

import numpy
from numpy.typing import NDArray

__version__: str

# Every class of the module is made by pybind11's metaclass (pybind11_builtins.pybind11_type).
class _Pybind11Type(type): ...

class SerialStream(metaclass=_Pybind11Type):
    def __init__(self, arg0: str | bytes | bytearray, /) -> None:
        """Initialize the serial stream"""
    @property
    def is_open(self) -> bool:
        """True while the port is open."""
    @property
    def port(self) -> str:
        """The port path the stream was made on."""
    @property
    def open_error(self) -> int:
        """The errno of the open() that failed (for example errno.EACCES), 0 when the port is open."""
    def close(self) -> None:
        """Close the port (again: nothing happens)."""
    def __enter__(self) -> Self: ...
    def __exit__(self, *args: object) -> None:
        """Close the port on leaving the with block."""
    def __repr__(self) -> str: ...

class UUID(metaclass=_Pybind11Type):
    def __init__(self) -> None: ...
    def bytes(self) -> list[int]: ...

class Device(metaclass=_Pybind11Type):
    # No constructor: any call raises TypeError.
    def __init__(self, *args: Never, **kwargs: Never) -> None: ...

def get_cpp_version() -> str:
    """Get the version of the CPP library"""

def print_cpp_version() -> None:
    """Print the version of the CPP library"""

def detect_osmiras() -> list[str]:
    """detect available osmira devices"""

def detect_handles() -> list[str]:
    """detect available handles"""

def detect_wired_handles() -> list[str]:
    """detect available wired handles"""

def detect_wireless_handles() -> list[str]:
    """detect available wireless handles"""

# What a vector argument takes: any sequence of numbers (list, tuple, NumPy array), but not
# str or bytes. Only the first three items are used; fewer raise ValueError.
class _Vector(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> float: ...

# Bytes of user data: bytes, bytearray or any sequence of ints 0..255.
class _ByteValues(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> int: ...

_Pair = tuple[list[float], list[float]]

class _DeviceInfo(TypedDict):
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
    device_id_ext: uuid.UUID

class _HoldraStatus(TypedDict):
    device_id: int
    quaternion: list[float]
    error_flag: int
    hall_effect_sensor_level: int
    buttons: int
    battery_level: float

class Osmira(metaclass=_Pybind11Type):
    """Osmira Device Class"""

    @overload
    def __init__(self, arg0: SerialStream, /) -> None: ...
    @overload
    def __init__(self, stream: SerialStream, timeout: float = 5.0) -> None: ...
    def end_effector_force(self, force_request_vector: _Vector = ..., /) -> _Pair: ...
    def get_end_effector_position(self, onboard: bool = True) -> _Pair: ...
    def joint_torques(self, joint_torque_request_vector: _Vector = ..., /) -> _Pair: ...
    def end_effector_position(self, position_request_vector: _Vector = ..., /) -> _Pair: ...
    def joint_angles(self, joint_angle_request_vector: _Vector = ..., /) -> _Pair: ...
    @overload
    def SendForce(self, force: _Vector = ...) -> None: ...
    @overload
    def SendForce(self, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None: ...
    def ReceiveState(self, position: _Vector = ..., velocity: _Vector = ...) -> _Pair: ...
    def ReceiveJointState(self, joint_position: _Vector = ..., joint_velocity: _Vector = ...) -> _Pair: ...
    def SendJointTorques(self, joint_torque: _Vector = ...) -> None: ...
    def SendAngle(self, angle: _Vector = ...) -> None: ...
    def SendPosition(self, position: _Vector = ...) -> None: ...
    def device_wakeup(self) -> tuple[int, int, int, int, list[int]]: ...
    def device_wakeup_dict(self) -> _DeviceInfo: ...
    def get_firmware_version(self) -> uuid.UUID: ...
    def get_device_id(self) -> uuid.UUID: ...
    def get_motor_currents(self) -> Annotated[list[float], "FixedSize(3)"]: ...
    def get_device_orientation(self) -> Annotated[list[float], "FixedSize(4)"]: ...
    def get_power_status(self) -> bool: ...
    def get_temperature(self) -> float: ...
    def deactivate_orientation_sensor(self) -> None: ...
    def SendDeviceWakeup(self) -> None: ...
    def ReceiveDeviceInfo(self) -> tuple[int, int, int, int, UUID]: ...
    def RequestCurrent(self) -> None: ...
    def ReceiveCurrent(self, current: _Vector = ...) -> list[float]: ...
    def adjust_angles(self, angles: _Vector = ...) -> None: ...
    def adjust_lengths(
        self,
        inner_arm_1: float = 0.14,
        outer_arm_1: float = 0.14,
        inner_arm_2: float = 0.165,
        outer_arm_2: float = 0.165,
        extension: float = 0.0765,
    ) -> None: ...
    def adjust_gear_ratios(
        self,
        head_gear_ratio_coeff: float = 1.0,
        inner_arm_gear_ratio_coeff: float = 1.0,
        outer_arm_gear_ratio_coeff: float = 1.0,
    ) -> None: ...
    def send_raw(self, payload: bytes) -> None: ...
    def read_raw(self, n: int, timeout: float = 1.0) -> bytes: ...
    def set_read_timeout(self, t: float) -> None: ...
    def flush_input(self) -> None: ...
    @property
    def last_call_ok(self) -> bool:
        """True when the last call on this arm got its own complete reply (for a call that only sends: when its frame was written)."""
    def close(self) -> None: ...
    def __enter__(self) -> Osmira: ...
    def __exit__(self, exc_type: object, exc_value: object, traceback: object) -> None: ...
    def __repr__(self) -> str: ...

class Handle(metaclass=_Pybind11Type):
    """The holdra handle class"""

    def __init__(self, arg0: SerialStream, /) -> None: ...
    def SendDeviceWakeup(self) -> None: ...
    def SendHandleState(
        self, device_id: int = 0, data_length: int = 0, user_data: _ByteValues | int | None = None
    ) -> None: ...
    def RequestStatus(self) -> None: ...
    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None: ...
    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: _Vector | float,
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: _ByteValues | int | None,
    ) -> None: ...
    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None: ...
    @overload
    def Receive(self) -> int: ...
    @overload
    def Receive(self, obsolete: int) -> int: ...
    def GetHoldraStatus(self) -> _HoldraStatus: ...
    def __repr__(self) -> str: ...

# The iterations a ServoLoop keeps, oldest first (n of them): time in seconds since the loop's
# first start, positions, velocities and commanded forces as n x 3 arrays.
class _ServoTelemetry(TypedDict):
    time: NDArray[numpy.float64]
    position: NDArray[numpy.float64]
    velocity: NDArray[numpy.float64]
    force: NDArray[numpy.float64]
    round_trip: NDArray[numpy.float64]
    replied: NDArray[numpy.bool_]

class _ServoStats(TypedDict):
    iterations: int
    missed_replies: int
    late_ticks: int
    running: bool
    stop_reason: Literal["not stopped", "requested", "missed replies", "port closed"]
    round_trip_p50: float
    round_trip_p99: float
    round_trip_p999: float
    round_trip_max: float
    priority: int
    cpu: int | None
    lock_memory: bool

# Options out of range raise ValueError: telemetry_size outside 1..4194304, rate_hz not finite or
# negative (or under one tick an hour), reply_timeout not in (0, 3600], watchdog_misses < 1,
# max_force not finite and positive, ramp_seconds not finite or negative, a NaN spin_seconds,
# priority outside 0..99, a cpu the process may not run on.
# So do effects with a non-finite parameter, a negative stiffness or damping, or a zero or
# non-finite wall normal. start() and stop() may be called from any number of threads at once.
class ServoLoop(metaclass=_Pybind11Type):
    def __init__(
        self,
        arm: Osmira,
        *,
        rate_hz: float = 0.0,
        max_force: float,
        ramp_seconds: float = 0.0,
        watchdog_misses: int = 5,
        reply_timeout: float = 0.02,
        telemetry_size: int = 4096,
        spin_seconds: float = 0.0001,
        priority: int = 0,
        cpu: int | None = None,
        lock_memory: bool = False,
    ) -> None: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    @property
    def running(self) -> bool: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, arg0: object, arg1: object, arg2: object, /) -> None: ...
    def telemetry(self) -> _ServoTelemetry: ...
    def stats(self) -> _ServoStats: ...
    def add_spring(self, center: _Vector, stiffness: float, damping: float = 0.0) -> int: ...
    def set_spring(self, effect_id: int, center: _Vector, stiffness: float, damping: float = 0.0) -> None: ...
    def add_damping(self, damping: float) -> int: ...
    def set_damping(self, effect_id: int, damping: float) -> None: ...
    def add_wall(self, point: _Vector, normal: _Vector, stiffness: float, damping: float = 0.0) -> int: ...
    def set_wall(
        self, effect_id: int, point: _Vector, normal: _Vector, stiffness: float, damping: float = 0.0
    ) -> None: ...
    def add_constant_force(self, force: _Vector) -> int: ...
    def set_constant_force(self, effect_id: int, force: _Vector) -> None: ...
    def remove_effect(self, effect_id: int) -> None: ...
    def clear_effects(self) -> None: ...

class _ProbeIdentity(TypedDict, total=False):
    device_id: int  # always present
    model: int  # with hardware_version and firmware_version: an arm, or a handle's information
    hardware_version: int
    firmware_version: int
    uuid: str  # an arm's identity record

class _PortVerdict(TypedDict):
    port: str
    kind: Literal["arm", "handle", "unknown", "silent", "unopenable", "busy"]
    link: Literal["wired", "wireless"]
    identity: _ProbeIdentity | None
    reason: str
    errno: int
    answer: bytes

def probe_port(path: str, timeout: float) -> _PortVerdict:
    """wake the device on one port and tell what answers: a dict with port, kind (arm, handle, unknown, silent, unopenable, busy), link, identity, reason, errno and answer"""

def scan_serial_ports() -> list[tuple[str, int]]:
    """the candidate serial ports under /dev as (path, kind) in listing order: kind 1 ttyACM, 2 ttyUSB, 3 rfcomm"""

def port_kind_of_name(name: str) -> int:
    """the kind a port's name shows (1 ttyACM, 2 ttyUSB, 3 rfcomm), 0 for none"""
