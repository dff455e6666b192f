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


def _writable_view(buffer: Any, start: int, end: int | None, name: str) -> memoryview:
    """As _view, for a buffer the bytes read go into: checked before the bus is used."""
    view = _view(buffer, start, end)
    if view.readonly:
        raise TypeError(f"{name} must be writable (a bytearray, array or memoryview), not {type(buffer).__name__}")
    if not len(view):
        raise ValueError("Buffer must be at least length 1")
    return view


class I2CBase:
    """busio.I2C over an Orvane adapter; see pellan_i2c.busio.I2C."""

    _adapter_type: ClassVar[type[Any]]

    def __init__(
        self, serial: str | AdapterLike | None = None, *, frequency: int = 100_000, timeout: int = 255
    ) -> None:
        if not isinstance(frequency, int) or isinstance(frequency, bool):
            raise TypeError(f"frequency is an int in hertz, e.g. 400_000, not {type(frequency).__name__}")
        if not isinstance(timeout, int) or isinstance(timeout, bool):
            raise TypeError(f"timeout is an int in microseconds, not {type(timeout).__name__}")
        if serial is None or isinstance(serial, str):
            self._adapter: AdapterLike | None = self._adapter_type(serial, frequency)
            self._owned = True
        elif isinstance(serial, AdapterLike):
            self._adapter = serial
            self._owned = False
        else:
            raise TypeError(
                "serial is the serial number of an adapter (a str, see list_adapters()) or an "
                f"open Adapter, not {type(serial).__name__}"
            )
        self._locked = False
        # Keeps try_lock and unlock whole when threads share this object:
        # the adapter's lock gives the answer, this records who holds it.
        # Reentrant, for a signal handler that runs in the middle of one.
        self._guard = threading.RLock()

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
        """Releases the bus: unlocks it, and closes the adapter if the object opened it."""
        self.unlock()
        adapter, self._adapter = self._adapter, None
        if adapter is not None and self._owned:
            adapter.close()

    def try_lock(self) -> bool:
        """Takes the bus lock if it is free; True when taken. The transfers need it.

        The lock belongs to the adapter, so every busio.I2C on it shares it.
        Threads sharing one busio.I2C may race for it: one of them gets it.
        False once deinitialized.
        """
        with self._guard:
            adapter = self._adapter
            if adapter is None or self._locked:
                return False
            self._locked = adapter.try_lock()
            return self._locked

    def unlock(self) -> None:
        """Releases the bus lock, if this object holds it."""
        with self._guard:
            adapter = self._adapter
            if self._locked and adapter is not None:
                self._locked = False
                adapter.unlock()

    def scan(self) -> list[int]:
        """The addresses from 0x08 to 0x77 that answer, in order."""
        return self._locked_adapter().scan()

    def readfrom_into(self, address: int, buffer: Any, *, start: int = 0, end: int | None = None) -> None:
        """Reads into buffer[start:end] from the address, with a start and a stop.

        Bytes outside the slice stay as they are.
        """
        adapter = self._locked_adapter()
        view = _writable_view(buffer, start, end, "buffer")
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
        view = _writable_view(in_buffer, in_start, in_end, "in_buffer")
        view[:] = adapter.write_read(address, data, len(view))
