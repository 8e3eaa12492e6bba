"""The exceptions of the package: every failure is a TecError, except a value
that does not fit (ValueError) and a wait that ran out (TimeoutError)."""


class TecError(Exception):
    """Something went wrong with the controller or the line."""


class LinkError(TecError):
    """An answer was missing or not usable.

    ``kind`` is one of ``"silent"`` (nothing came), ``"short"`` (fewer bytes
    than the answer has), ``"bad-crc"`` (all bytes, wrong checksum),
    ``"wrong-answer"`` (intact, but not the answer to this request) and, from a
    server, ``"offline"`` (the server holds the controller but cannot reach it).
    ``register`` is the register of the request that went unanswered, when known.
    """

    KINDS = ("silent", "short", "bad-crc", "wrong-answer", "offline")

    def __init__(self, kind, message, register=None):
        super().__init__(message)
        self.kind = kind
        self.register = register


class RefusedError(TecError):
    """The controller refused a request (an exception answer).

    ``register`` and ``value`` name the first refused write (``value`` is the
    display value asked for, or None); ``registers`` lists every refused one.
    """

    def __init__(self, message, register=None, value=None, registers=None):
        super().__init__(message)
        self.register = register
        self.value = value
        self.registers = list(registers) if registers else ([register] if register is not None else [])


class PortError(TecError):
    """The serial port cannot be used.

    ``kind`` is ``"not-present"``, ``"permission-denied"`` (``group`` names the
    group to join), ``"busy"`` (``holder`` names the program holding it, when it
    can be found), ``"lost"`` (it went away while in use) or ``"other"``.
    """

    def __init__(self, kind, message, device=None, group=None, holder=None):
        super().__init__(message)
        self.kind = kind
        self.device = device
        self.group = group
        self.holder = holder


class IdentificationError(TecError):
    """Something answered at the address, but not a controller this package drives."""

    def __init__(self, message, model=None):
        super().__init__(message)
        self.model = model


class RemoteError(TecError):
    """A server answered with an error status (``status``) not mapped to another class."""

    def __init__(self, message, status=None):
        super().__init__(message)
        self.status = status


class AuthorizationError(RemoteError):
    """The server wants a token (401): none was given, or it is not the server's."""
