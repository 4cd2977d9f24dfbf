import math
import struct

import numpy as np
import pytest

import TavixHardwareAPI as api
from fakedevice import floats


def joint_state(j0, j1, j2):
    return b"\x1b" + floats(j0, j1, j2, 0.0, 0.0, 0.0)


@pytest.fixture(autouse=True)
def zero_angle_offsets(arm, device):
    """Angle offsets outlive every arm in the process: put them back after each test."""
    yield
    device.received(0, timeout=0)
    device.send(joint_state(0, 0, 0))
    arm.adjust_angles([0.0, 0.0, 0.0])


def host_position(arm, device, raw_angles):
    device.send(joint_state(*raw_angles))
    position, velocity = arm.get_end_effector_position(False)
    assert velocity == [0.0, 0.0, 0.0]
    assert device.received(13) == b"\x1a" + bytes(12)
    return position


def test_default_pose(arm, device):
    assert host_position(arm, device, (0, 0, 0)) == pytest.approx([0.0, 0.0245, -0.1185], abs=1e-4)


def test_adjust_lengths(arm, device):
    pose = (10.0, 20.0, 30.0)
    default = host_position(arm, device, pose)
    arm.adjust_lengths(extension=-0.0765)
    assert host_position(arm, device, pose) == default  # stored as its absolute value
    arm.adjust_lengths(extension=0.05)
    assert host_position(arm, device, pose) != pytest.approx(default)
    arm.adjust_lengths()
    assert host_position(arm, device, pose) == default


def test_gear_ratios_and_their_reset_by_a_new_arm(arm, device):
    turned = host_position(arm, device, (30, 0, 0))
    arm.adjust_gear_ratios(2.0, 1.0, 1.0)  # the head joint counts double
    assert host_position(arm, device, (15, 0, 0)) == pytest.approx(turned, abs=1e-6)

    other = api.Osmira(api.SerialStream(device.path), 0.2)
    assert host_position(arm, device, (30, 0, 0)) == pytest.approx(turned, abs=1e-6)
    del other


def test_adjust_angles_declares_the_current_pose(arm, device):
    default = host_position(arm, device, (0, 0, 0))
    device.send(joint_state(12.0, -7.0, 33.0))
    assert arm.adjust_angles([0.0, 0.0, 0.0]) is None
    assert device.received(13, timeout=0.3) == b"\x1a" + bytes(12)  # one frame, nothing else
    assert host_position(arm, device, (12.0, -7.0, 33.0)) == pytest.approx(default, abs=1e-6)


def test_adjustments_other_than_angles_write_nothing(arm, device):
    arm.adjust_lengths(0.15, 0.15, 0.17, 0.17, 0.08)
    arm.adjust_gear_ratios(1.5)
    arm.deactivate_orientation_sensor()
    assert device.received(0, timeout=0.1) == b""


def test_links_that_cannot_meet_give_nan(arm, device):
    arm.adjust_lengths(0.14, 0.14, 0.01, 0.01)
    assert all(math.isnan(v) for v in host_position(arm, device, (0.0, 40.0, -40.0)))


@pytest.mark.parametrize("calibrate, pose", [
    (lambda arm: arm.adjust_lengths(outer_arm_1=math.nan), (10.0, 20.0, 30.0)),
    (lambda arm: arm.adjust_gear_ratios(1.0, 1.0, math.inf), (10.0, 20.0, 30.0)),
    (lambda arm: None, (10.0, 20.0, math.nan)),
], ids=["nan-length", "infinite-gear-ratio", "nan-joint-angle"])
def test_nan_in_gives_nan_out(arm, device, calibrate, pose):
    """A NaN on the way in must not come out as a finite point made from the other joints."""
    calibrate(arm)
    assert all(math.isnan(v) for v in host_position(arm, device, pose))


def test_short_angle_list_is_refused_before_any_traffic(arm, device):
    with pytest.raises(ValueError, match=r"^angles: expected at least 3 values, got 1$"):
        arm.adjust_angles([1.0])
    assert device.received(0, timeout=0.1) == b""


def test_signatures():
    assert api.Osmira.adjust_lengths.__doc__.startswith(
        "adjust_lengths(self: TavixHardwareAPI.Osmira, inner_arm_1: float = 0.14, "
        "outer_arm_1: float = 0.14, inner_arm_2: float = 0.165, "
        "outer_arm_2: float = 0.165, extension: float = 0.0765) -> None\n")
    assert api.Osmira.adjust_gear_ratios.__doc__.startswith(
        "adjust_gear_ratios(self: TavixHardwareAPI.Osmira, head_gear_ratio_coeff: float = 1.0, "
        "inner_arm_gear_ratio_coeff: float = 1.0, outer_arm_gear_ratio_coeff: float = 1.0) -> None\n")
    assert "angles: list[float] = [0.0, 0.0, 0.0]) -> None\n\nAdjust the angles of the device" in \
        api.Osmira.adjust_angles.__doc__


# ---- the library's kinematics against an independent binary32 computation ----

f32 = np.float32
PI = f32(3.141592)  # the firmware's binary32 pi


def acos(x):
    """acos as the C library gives it: NaN outside [-1, 1] rather than an exception."""
    return math.acos(x) if -1.0 <= x <= 1.0 else math.nan


def rotate(q, p):
    x, y, z, w = q
    one, two = f32(1), f32(2)
    return [
        (one - two * (y * y + z * z)) * p[0] + two * (x * y - z * w) * p[1] + two * (x * z + y * w) * p[2],
        two * (x * y + z * w) * p[0] + (one - two * (x * x + z * z)) * p[1] + two * (y * z - x * w) * p[2],
        two * (x * z - y * w) * p[0] + two * (y * z + x * w) * p[1] + (one - two * (x * x + y * y)) * p[2],
    ]


def reference_position(c, raw):
    """The end-effector position, step by step: binary32 terms (np.float32 arithmetic) with
    sin, cos, atan2, acos and sqrt taken in double (math, the same C library as the host's)
    on binary32 arguments, and every stored intermediate rounded to binary32. A and B, which
    the formulas leave open, are stored in binary32 here as the library stores them: the
    double product L1 cos(theta1) rounded once. Inside one expression a binary32 term meeting
    a double one is widened, as in C++ (e.g. X = D + A in binary32, less L2 cos(theta2) in
    double, then rounded)."""
    g, o = c["gears"], c["offsets"]
    L1, L2, L3, L4 = c["lengths"][:4]
    E, D, H, S, T = c["lengths"][4], f32(0), f32(-0.052), f32(0), (f32(0), f32(0), f32(0.18645))
    j0, j1, j2 = (f32(v) for v in raw)
    theta0 = (f32(90) + g[0] * j0) * PI / f32(180) - o[0]
    theta1 = (f32(-180) - g[1] * j1) * PI / f32(180) - o[1]
    theta2 = (f32(-180) - g[2] * j2) * PI / f32(180) - o[2]

    A = f32(float(L1) * math.cos(theta1))
    B = f32(float(L1) * math.sin(theta1))
    X = f32(float(D + A) - float(L2) * math.cos(theta2))
    Y = f32(float(B) - float(L2) * math.sin(theta2))
    phi = f32(math.atan2(Y, X))
    R = f32(math.sqrt(X * X + Y * Y))
    if float(R) < 1e-6:
        psi = theta1
    else:
        beta = acos(float((R * R + L3 * L3 - L4 * L4) / (f32(2) * R * L3)))
        psi = f32(float(phi + PI) - beta)
    P = f32(float(D / f32(2) + A) + float(L3) * math.cos(psi))
    Q = f32(float(B) + float(L3) * math.sin(psi))

    r, across = H + E, S - Q
    c0, s0 = math.cos(theta0), math.sin(theta0)
    u = f32(float(T[0]) + float(r) * c0 - float(across) * s0)
    v = f32(float(T[1]) + float(across) * c0 + float(r) * s0)
    a = P + T[2]
    return rotate((f32(0), f32(0.7071), f32(0), f32(0.7071)), (-a, v, u)), float(R) < 1e-6


def calibration(lengths=(0.14, 0.14, 0.165, 0.165, 0.0765), gears=(1.0, 1.0, 1.0), declared=None):
    """What the library holds after adjust_lengths, adjust_gear_ratios and adjust_angles
    (`declared`: the raw angles the arm reports and the true angles declared for them)."""
    c = {"lengths": [f32(v) for v in lengths[:4]] + [abs(f32(lengths[4]))], "gears": [f32(v) for v in gears],
         "offsets": [f32(0)] * 3, "given": (lengths, gears, declared)}
    if declared:
        g = c["gears"]
        (r0, r1, r2), (t0, t1, t2) = ([f32(v) for v in vs] for vs in declared)
        c["offsets"] = [(g[0] * r0 - t0) * PI / f32(180), (t1 - g[1] * r1) * PI / f32(180),
                        (t2 - g[2] * r2) * PI / f32(180)]
    return c


def apply(arm, device, c):
    lengths, gears, declared = c["given"]
    arm.adjust_lengths(*lengths)
    arm.adjust_gear_ratios(*gears)
    if declared:
        device.send(joint_state(*declared[0]))
        arm.adjust_angles(list(declared[1]))
        assert device.received(13) == b"\x1a" + bytes(12)


def bits(values):
    return ["nan" if math.isnan(v) else struct.pack("<f", v).hex() for v in values]


def random_poses(rng, n):
    """Raw angles over and beyond the working range, one in fifty with the two arm joints
    equal (coincident elbows, the guarded branch, at equal first links and gear ratios)."""
    poses = np.column_stack([rng.uniform(-90, 90, n), rng.uniform(-30, 130, n), rng.uniform(-110, 50, n)])
    poses[::50, 2] = poses[::50, 1]
    return poses.astype(np.float32).tolist()


@pytest.mark.parametrize("c", [
    calibration(),
    calibration(lengths=(0.15, 0.13, 0.17, 0.16, -0.08)),
    calibration(gears=(1.5, 0.8, 1.25)),
    calibration(declared=((12.5, 30.25, -7.75), (5.0, -10.0, 20.0))),
    calibration((0.13, 0.145, 0.16, 0.17, 0.07), (0.75, 1.2, 0.9), ((-3.0, 44.0, -21.5), (1.0, 50.0, -30.0))),
], ids=["default", "lengths", "gear-ratios", "angle-offsets", "all-three"])
def test_forward_kinematics_matches_an_independent_binary32_computation_bit_for_bit(arm, device, c):
    apply(arm, device, c)
    poses = random_poses(np.random.default_rng(20261208), 1000)
    mismatches, finite, coincident = [], 0, 0
    with np.errstate(all="ignore"):
        for pose in poses:
            expected, guarded = reference_position(c, pose)
            got = host_position(arm, device, pose)
            finite += not math.isnan(got[0])
            coincident += guarded and not math.isnan(got[0])
            if bits(got) != bits(expected):
                mismatches.append((pose, got, [float(e) for e in expected]))
    assert mismatches == [], f"{len(mismatches)} of {len(poses)} poses differ, first {mismatches[:3]}"
    assert finite > 0.8 * len(poses)  # mostly poses the links can reach
    lengths, gears, declared = c["given"]
    if lengths[0] == lengths[1] and gears[1] == gears[2] and not declared:
        assert coincident > 0  # the guarded branch was taken too
