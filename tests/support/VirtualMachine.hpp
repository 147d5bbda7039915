#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace quillon::testing {

// One boot of the tests' virtual machine: QEMU with software emulation (no KVM needed), Debian's
// own kernel and an initrd that scripts/vm-image prepares (scripts/bootstrap runs it), the host's
// root shared read-only under a writable tmpfs overlay, and a work directory shared writable at
// /mnt/work. The guest runs `guestScript` (/bin/sh, as root, PID 1's child) with the host's
// programs and powers off; what it wrote to /mnt/work stays in workDir().
//
// Inside the guest there is /dev/uinput (the point of it) and no network but the loopback. The
// guest shares nothing with the host's processes: services are started by the script
// (tests/vm/session.sh has the pieces: udev, seatd and Sway, Xorg).
//
// Cost: a boot takes 10-20 s on two shared cores; group many cases into one boot.
class VirtualMachine {
public:
    struct Options {
        std::string guestScript;
        std::chrono::seconds timeout{420};
        int memoryMiB = 2048;
        int cpus = 2;
    };
    struct Result {
        // Set when QEMU itself could not start (the only reason to skip): what went wrong.
        std::string cannotStart;
        bool timedOut = false;
        std::optional<int> guestStatus; // the script's exit status
        std::string guestLog;           // the script's stdout and stderr
        std::string console;            // the kernel's console (serial)
        double seconds = 0;             // wall time of the whole run
    };

    VirtualMachine();
    ~VirtualMachine();
    VirtualMachine(const VirtualMachine&) = delete;
    VirtualMachine& operator=(const VirtualMachine&) = delete;

    // Boots, runs the script and waits for the power-off (or the timeout: QEMU is ended by pid).
    // Throws when the kernel or initrd is missing (run scripts/bootstrap).
    Result run(const Options& options);

    // The directory shared as /mnt/work (the script's files and what it leaves).
    const std::string& workDir() const noexcept { return work_; }

    // Where scripts/vm-image keeps the kernel and initrd: $QUILLON_VM_CACHE, else the
    // repository's .cache/vm.
    static std::string cacheDir();

private:
    std::string root_;
    std::string work_;
};

} // namespace quillon::testing
