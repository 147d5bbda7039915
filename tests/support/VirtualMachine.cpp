#include "tests/support/VirtualMachine.hpp"

#include "tests/support/ChildProcess.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quillon::testing {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (::access((dir + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// The guest's /tmp is a tmpfs of its own, which would hide a work tree cloned into the host's
// /tmp: the init keeps the directories named here visible there.
std::string kernelCommandLine() {
    std::string line = "console=ttyS0 panic=-1 quiet loglevel=3";
    const std::string source = QUILLON_SOURCE_DIR;
    const std::string binary = QUILLON_BINARY_DIR;
    std::vector<std::string> keep = {source};
    if (binary.rfind(source + "/", 0) != 0) {
        keep.push_back(binary); // a build tree outside the source tree
    }
    for (const auto& dir : keep) {
        if (dir.rfind("/tmp/", 0) == 0 && dir.find_first_of(" \t\n") == std::string::npos) {
            line += " quillon.keep=" + dir;
        }
    }
    return line;
}

} // namespace

VirtualMachine::VirtualMachine() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/quillon-vm-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
    work_ = root_ + "/work";
    fs::create_directories(work_);
}

VirtualMachine::~VirtualMachine() {
    std::error_code ec;
    fs::remove_all(root_, ec);
}

std::string VirtualMachine::cacheDir() {
    if (const char* dir = std::getenv("QUILLON_VM_CACHE"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    return QUILLON_SOURCE_DIR "/.cache/vm";
}

VirtualMachine::Result VirtualMachine::run(const Options& options) {
    Result result;
    const std::string image = cacheDir() + "/current";
    if (!fs::exists(image + "/vmlinuz") || !fs::exists(image + "/initrd.img")) {
        throw std::runtime_error("no virtual machine image in " + image +
                                 ": run scripts/bootstrap (it calls scripts/vm-image)");
    }
    if (!onPath("qemu-system-x86_64")) {
        result.cannotStart = "qemu-system-x86_64 is not installed (scripts/bootstrap installs it)";
        return result;
    }
    {
        std::ofstream script(work_ + "/guest.sh");
        script << options.guestScript;
    }
    fs::remove(work_ + "/guest-status");
    fs::remove(work_ + "/guest.log");

    ChildProcess::Options o;
    o.argv = {"qemu-system-x86_64",
              "-accel",
              "tcg,thread=multi",
              "-cpu",
              "max",
              "-m",
              std::to_string(options.memoryMiB),
              "-smp",
              std::to_string(options.cpus),
              "-nographic",
              "-no-reboot",
              "-nic",
              "none",
              "-kernel",
              image + "/vmlinuz",
              "-initrd",
              image + "/initrd.img",
              "-append",
              kernelCommandLine(),
              "-virtfs",
              "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap",
              "-virtfs",
              "local,path=" + work_ + ",mount_tag=work,security_model=none"};
    o.outputFile = root_ + "/console.txt";
    const auto start = std::chrono::steady_clock::now();
    ChildProcess qemu(o);
    const auto status = qemu.wait(options.timeout);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.console = qemu.output();
    if (!status) {
        result.timedOut = true;
        qemu.stop(0ms);
    }
    result.guestLog = readFile(work_ + "/guest.log");
    const std::string statusText = readFile(work_ + "/guest-status");
    if (!statusText.empty()) {
        result.guestStatus = std::atoi(statusText.c_str());
    } else if (status && result.guestLog.empty() &&
               result.console.find("Linux version") == std::string::npos &&
               result.console.find("SeaBIOS") == std::string::npos) {
        // QEMU ended before the machine ran at all: it could not start (no TCG, no memory...).
        result.cannotStart = "qemu-system-x86_64 did not start: " + result.console;
    }
    return result;
}

} // namespace quillon::testing
