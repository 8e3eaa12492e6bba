"""tecontrol: the thermoelectric temperature controller from Python.

Sends exactly what ``tecctl`` sends for the same command, on pyserial::

    import tecontrol
    with tecontrol.Controller("/dev/ttyUSB0", address=1) as tec:
        tec.sv = 37.5
        tec.wait_until_stable(tolerance=0.2, duration=60)
"""

from .controller import Bus, Controller, Identity, Program, ProgramStatus, Sample, Value, scan
from .errors import (AuthorizationError, IdentificationError, LinkError, PortError, RefusedError, RemoteError,
                     TecError)
from .files import FileFormatError, Step, StepProgram
from .registers import PARAMETERS
from .remote import Remote

__version__ = "1.1.0"

__all__ = ["AuthorizationError", "Bus", "Controller", "FileFormatError", "IdentificationError", "Identity",
           "LinkError", "PARAMETERS", "PortError", "Program", "ProgramStatus", "RefusedError", "Remote",
           "RemoteError", "Sample", "Step", "StepProgram", "TecError", "Value", "scan"]
