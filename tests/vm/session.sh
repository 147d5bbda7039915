# The sessions of the uinput tests' virtual machine, sourced by the guest script a test writes
# (see tests/support/VirtualMachine.hpp). Runs as root inside the guest; every process it starts
# lives in the guest and ends with it.

# udev: device nodes and the properties libinput classifies devices by (ID_INPUT_*). Only input
# and misc devices are replayed; uinput's devices arrive later as live events.
vm_udev() {
    /lib/systemd/systemd-udevd --daemon 2>/dev/null
    udevadm trigger --action=add --subsystem-match=input --subsystem-match=misc
    udevadm settle --timeout=30
}

# A seat for an unprivileged compositor, and headless Sway reading the real devices through
# libinput as user nobody. Exports WAYLAND_DISPLAY and SWAYSOCK.
vm_sway() {
    seatd -u nobody -g nogroup -l error &
    VM_SEATD=$!
    mkdir -p /tmp/sway-runtime
    chown nobody:nogroup /tmp/sway-runtime
    chmod 700 /tmp/sway-runtime
    cat >/tmp/sway.conf <<'CONF'
xwayland disable
default_border none
focus_follows_mouse no
output HEADLESS-1 resolution 1280x720 position 0 0
# Exact relative motion: the tests check where deltas land.
input type:pointer accel_profile flat
input type:pointer pointer_accel 0
CONF
    setpriv --reuid=65534 --regid=65534 --clear-groups env -i PATH="$PATH" \
        XDG_RUNTIME_DIR=/tmp/sway-runtime HOME=/tmp/sway-runtime \
        WLR_BACKENDS=headless,libinput WLR_RENDERER=pixman LIBSEAT_BACKEND=seatd \
        sway --config /tmp/sway.conf >/tmp/sway.log 2>&1 &
    VM_SWAY=$!
    for _ in $(seq 1 300); do
        if [ -S /tmp/sway-runtime/wayland-1 ] && ls /tmp/sway-runtime/sway-ipc.* >/dev/null 2>&1; then
            break
        fi
        sleep 0.1
    done
    export WAYLAND_DISPLAY=/tmp/sway-runtime/wayland-1
    SWAYSOCK="$(ls /tmp/sway-runtime/sway-ipc.* 2>/dev/null | head -n1)"
    export SWAYSOCK
    [ -S "$WAYLAND_DISPLAY" ] || { echo "vm: Sway did not start"; cat /tmp/sway.log; return 1; }
}

vm_stop_sway() {
    kill "$VM_SWAY" 2>/dev/null
    wait "$VM_SWAY" 2>/dev/null
    kill "$VM_SEATD" 2>/dev/null
    wait "$VM_SEATD" 2>/dev/null
    unset WAYLAND_DISPLAY SWAYSOCK
}

# Xorg with the dummy video driver and the libinput input driver (devices hot-plugged through
# udev). Exports DISPLAY.
vm_xorg() {
    cat >/tmp/xorg.conf <<'CONF'
Section "ServerFlags"
    Option "AutoAddDevices" "true"
    Option "AutoEnableDevices" "true"
EndSection
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 65536
EndSection
Section "Monitor"
    Identifier "monitor"
    HorizSync 5.0-1000.0
    VertRefresh 5.0-200.0
    Modeline "1280x720" 74.25 1280 1390 1430 1650 720 725 730 750
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    Monitor "monitor"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Modes "1280x720"
        Virtual 1280 720
    EndSubSection
EndSection
# Exact relative motion: the tests check where deltas land.
Section "InputClass"
    Identifier "flat pointers"
    MatchIsPointer "on"
    MatchDriver "libinput"
    Option "AccelProfile" "flat"
    Option "AccelSpeed" "0"
EndSection
CONF
    Xorg :5 -config /tmp/xorg.conf -noreset -nolisten tcp -logfile /tmp/xorg.log \
        -novtswitch -sharevts vt1 >/tmp/xorg.out 2>&1 &
    VM_XORG=$!
    for _ in $(seq 1 300); do
        [ -S /tmp/.X11-unix/X5 ] && break
        sleep 0.1
    done
    export DISPLAY=:5
    [ -S /tmp/.X11-unix/X5 ] || { echo "vm: Xorg did not start"; cat /tmp/xorg.out; return 1; }
}

vm_stop_xorg() {
    kill "$VM_XORG" 2>/dev/null
    wait "$VM_XORG" 2>/dev/null
    unset DISPLAY
}
