"""Until the module has ``Osmira.last_call_ok``, the tavix children of the tests get a stand-in:
an exchange counts as answered when its reply is not all zeros (what the library gives when
no reply came). Loaded by Python at start-up from PYTHONPATH (tavix_cli.environment)."""

import TavixHardwareAPI

if not hasattr(TavixHardwareAPI.Osmira, "last_call_ok"):
    class Osmira(TavixHardwareAPI.Osmira):
        last_call_ok = True

        def end_effector_force(self, force):
            position, velocity = super().end_effector_force(force)
            self.last_call_ok = any(position) or any(velocity)
            return position, velocity

    TavixHardwareAPI.Osmira = Osmira
