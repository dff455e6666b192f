"""The CircuitPython busio.I2C protocol, shared by the real and the simulated stack."""

from __future__ import annotations

import errno
import threading
from types import TracebackType
from typing import Any, ClassVar, Self

from pellan_i2c._smbus import AdapterLike, check_address

_DEINITIALIZED = "Object has been deinitialized and can no longer be used. Create a new object."


def _view(buffer: Any, start: int, end: int | None) -> memoryview:
    """The bytes of buffer[start:end], bounds clamped as CircuitPython clamps them."""
    view = memoryview(buffer).cast("B")
    return view[slice(start, end)]


class I2CBase:
    """busio.I2C over an Orvane adapter; see pellan_i2c.busio.I2C."""

    _adapter_type: ClassVar[type[Any]]

    def __init__(self, serial: str | AdapterLike | None = None, *, frequency: int = 100_000) -> None:
        if serial is None or isinstance(serial, str):
            self._adapter: AdapterLike | None = self._adapter_type(serial, frequency)
            self._owned = True
        else:
            self._adapter = serial
            self._owned = False
        self._guard = threading.Lock()
        self._locked = False

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.deinit()

    def __repr__(self) -> str:
        return f"<{type(self).__module__}.{type(self).__name__} on {self._adapter!r}>"

    def _live(self) -> AdapterLike:
        if self._adapter is None:
            raise ValueError(_DEINITIALIZED)
        return self._adapter

    def _locked_adapter(self) -> AdapterLike:
        adapter = self._live()
        if not self._locked:
            raise RuntimeError("Function requires lock")
        return adapter

    @property
    def frequency(self) -> int:
        """The bus speed in hertz."""
        return self._live().speed

    def deinit(self) -> None:
        """Releases the bus: closes the adapter if the object opened it."""
        adapter, self._adapter = self._adapter, None
        if adapter is not None and self._owned:
            adapter.close()

    def try_lock(self) -> bool:
        """Takes the bus lock if it is free; True when taken. The transfers need it."""
        with self._guard:
            if self._locked:
                return False
            self._locked = True
            return True

    def unlock(self) -> None:
        """Releases the bus lock."""
        with self._guard:
            self._locked = False

    def scan(self) -> list[int]:
        """The addresses from 0x08 to 0x77 that answer, in order."""
        return self._locked_adapter().scan()

    def readfrom_into(self, address: int, buffer: Any, *, start: int = 0, end: int | None = None) -> None:
        """Reads into buffer[start:end] from the address, with a start and a stop.

        Bytes outside the slice stay as they are.
        """
        adapter = self._locked_adapter()
        view = _view(buffer, start, end)
        if not len(view):
            raise ValueError("Buffer must be at least length 1")
        view[:] = adapter.read(check_address(address), len(view))

    def writeto(self, address: int, buffer: Any, *, start: int = 0, end: int | None = None) -> None:
        """Writes buffer[start:end] to the address, with a start and a stop.

        An empty slice probes the address. A NACK raises OSError.
        """
        adapter = self._locked_adapter()
        check_address(address)
        data = bytes(_view(buffer, start, end))
        if data:
            adapter.write(address, data)
        elif not adapter.probe(address):
            raise OSError(errno.EREMOTEIO, "NACK received")

    def writeto_then_readfrom(
        self,
        address: int,
        out_buffer: Any,
        in_buffer: Any,
        *,
        out_start: int = 0,
        out_end: int | None = None,
        in_start: int = 0,
        in_end: int | None = None,
    ) -> None:
        """Writes out_buffer[out_start:out_end] without a stop, then reads into in_buffer[in_start:in_end] after a repeated start.

        Bytes outside the slices stay as they are.
        """
        adapter = self._locked_adapter()
        check_address(address)
        data = bytes(_view(out_buffer, out_start, out_end))
        view = _view(in_buffer, in_start, in_end)
        if not len(view):
            raise ValueError("Buffer must be at least length 1")
        view[:] = adapter.write_read(address, data, len(view))
