#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// A device on the bus of a simulated adapter. The adapter calls it one
// transaction step at a time, never from two threads at once; a device that
// tests also reach from outside guards its state itself.
class CSimI2cDevice {
public:
    virtual ~CSimI2cDevice() = default;

    // A start or repeated start addressed to the device, in read or write
    // direction. False leaves the address unacknowledged.
    virtual bool Start(bool read) = 0;
    // Bytes the master writes after the address. Returns how many were
    // acknowledged; fewer than given means the next one was not.
    virtual size_t Write(std::span<const uint8_t> bytes) = 0;
    // Fills out with the next bytes the device sends.
    virtual void Read(std::span<uint8_t> out) = 0;
    // The stop condition that ends the transaction.
    virtual void Stop() = 0;

    // An address-only write: start, the address in write direction, stop.
    // False leaves the address unacknowledged. By default Start(false) and,
    // when acknowledged, Stop().
    virtual bool Probe()
    {
        if (!Start(false))
            return false;
        Stop();
        return true;
    }
    // The length of the read the master asked for, after Start(true) and
    // before the Read calls that fetch it (in pieces the adapter chooses).
    // For devices that produce a whole read at once; ignored by default.
    virtual void ReadRequested(size_t count) { static_cast<void>(count); }
};
