import math

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
        "adjust_lengths(self: TavixHardwareAPI.Osmira, inner_arm_1: float = 0.14000000059604645, "
        "outer_arm_1: float = 0.14000000059604645, inner_arm_2: float = 0.16500000655651093, "
        "outer_arm_2: float = 0.16500000655651093, extension: float = 0.07649999856948853) -> None\n")
    assert api.Osmira.adjust_gear_ratios.__doc__.startswith(
        "adjust_gear_ratios(self: TavixHardwareAPI.Osmira, head_gear_ratio_coeff: float = 1.0, "
        "inner_arm_gear_ratio_coeff: float = 1.0, outer_arm_gear_ratio_coeff: float = 1.0) -> None\n")
    assert "angles: list[float] = [0.0, 0.0, 0.0]) -> None\n\nAdjust the angles of the device" in \
        api.Osmira.adjust_angles.__doc__
