"""The simulated adapter's driver package: the one place that lays it out.

The package is ours, for the demo and the tests: ftdibus.inf installs the simulator's bus driver
(devsimbus.sys, built from tools/devsim/bus-driver.c) on the adapter's USB device, and ftdiport.inf
a null driver on the COM-port device that the bus driver reports once it has started. Neither
installs a real driver. The INF templates are tools/devsim/adapter/.

Import it with tools/ on sys.path: `from devsim import adapter` (tools/devsim is a namespace
package).
"""

import os
import re
import shutil

BUS_ID = "USB\\VID_0403&PID_6001"
PORT_ID = "FTDIBUS\\COMPORT&VID_0403&PID_6001"
BUS_DESCRIPTION = "Simulated USB Serial Converter (VID 0403, PID 6001)"
PORT_DESCRIPTION = "Simulated USB Serial Port (VID 0403, PID 6001)"
VERSION = "2.0.0.0"
DRIVER = "devsimbus.sys"
NEVER = 0xFFFFFFFF  # the delay the bus driver reads as "never report the COM-port device"

TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "adapter")


def package(dest, driver_sys, child_delay_ms):
    """Writes dest/ftdibus.inf, dest/ftdiport.inf and dest/devsimbus.sys (a copy of driver_sys);
    the bus driver reports the COM-port device child_delay_ms milliseconds after it has started,
    or never when child_delay_ms is None. Returns dest."""
    delay = NEVER if child_delay_ms is None else int(child_delay_ms)
    if not 0 <= delay <= NEVER:
        raise ValueError(f"child delay out of range: {child_delay_ms}")
    os.makedirs(dest, exist_ok=True)
    with open(os.path.join(TEMPLATES, "ftdibus.inf"), newline="") as f:
        bus = f.read()
    bus, count = re.subn(r"(?m)^(ChildDelayMs\s*=\s*)\S+", lambda m: m.group(1) + f"0x{delay:08X}", bus)
    if count != 1:
        raise RuntimeError("the bus INF template has no ChildDelayMs string")
    with open(os.path.join(dest, "ftdibus.inf"), "w", newline="") as f:
        f.write(bus)
    shutil.copyfile(os.path.join(TEMPLATES, "ftdiport.inf"), os.path.join(dest, "ftdiport.inf"))
    shutil.copyfile(driver_sys, os.path.join(dest, DRIVER))
    return dest
