import pytest

import TavixHardwareAPI as api


def test_new_identifier_is_sixteen_zero_bytes():
    identifier = api.UUID()
    first = identifier.bytes()
    assert first == [0] * 16
    first[0] = 99
    assert identifier.bytes() == [0] * 16  # a new list each call


def test_plain_value_class():
    with pytest.raises(TypeError):
        api.UUID(bytes(16))
    a = api.UUID()
    assert a == a and a != api.UUID()  # no comparison of its own: identity only
    assert api.UUID.bytes.__doc__.startswith("bytes(self: TavixHardwareAPI.UUID) -> list[int]\n")
    assert api.UUID.__doc__ is None
