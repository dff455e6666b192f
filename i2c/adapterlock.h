#pragma once

#include <string>

// Keeps an adapter to one program at a time. The kernel gives every open
// handle of a HID device a copy of every input report, so two programs on
// one adapter would read each other's answers.
//
// The lock is an exclusive advisory lock (flock) on the device node of the
// adapter's I2C interface, held from before the node is opened until the
// connection ends. On the node itself it holds for every user and session
// whatever their environment, needs no lock file, and ends with the
// process. Paths that are no character device (the simulated stack's: its
// adapters belong to one process each) take no lock.
class CAdapterLock {
public:
    CAdapterLock() = default;
    ~CAdapterLock();
    CAdapterLock(const CAdapterLock&) = delete;
    CAdapterLock& operator=(const CAdapterLock&) = delete;

    // Takes the lock of the device node at path; true also when the path
    // takes no lock or the node can not be opened (opening the device then
    // says why). False when another handle holds the lock: holder then names
    // the program that holds it, e.g. "pellan-i2c-cli (process 1234)", or
    // "another program" when the system does not tell.
    bool Acquire(const std::string& path, std::string& holder);
    // Lets the lock go. Only this handle is closed: a copy that fork() made
    // keeps the lock for the other process.
    void Release();
    bool IsHeld() const { return m_fd >= 0; }

    // The program holding a flock on the file with this device and inode
    // number, as /proc/locks tells; empty when none is listed.
    static std::string FindHolder(unsigned long long device, unsigned long long inode);

private:
    int m_fd = -1;
};
