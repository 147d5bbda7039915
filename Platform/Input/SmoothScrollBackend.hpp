#pragma once

#include "Platform/Input/InputBackend.hpp"
#include "Platform/Input/UinputDevice.hpp"

#include <memory>
#include <string>

namespace quillon::platform {

// A session's backend with the wheel turned through the kernel: a uinput mouse ("Quillon
// wheel") whose high-resolution wheel events (REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES, 120 a click)
// the session reads through libinput, so parts of a click scroll smoothly where the backend
// itself has only whole clicks (XTest: buttons 4-7). Every other verb goes to `inner`
// unchanged, and the wheel's device is all this adds: what is held stays the injector's.
//
// Order: the wheel and the other verbs reach the server by two roads (the kernel's device and
// the backend's connection). A wheel turn that follows other verbs first waits until the
// server has handled them (inner's sync()), so it scrolls where the pointer was just moved. A
// wheel turned while a modifier key is down (zoom as Control + wheel, Shift + wheel) goes
// through `inner`, in whole clicks: the modifier's release could otherwise overtake it.
//
// The device is made when this is built (the session takes a moment to take it in, so the
// first turns may still go as clicks); without /dev/uinput the wheel stays with `inner` and
// note() says why.
class SmoothScrollBackend : public InputBackend {
public:
    SmoothScrollBackend(std::unique_ptr<InputBackend> inner,
                        const std::string& devicePath = "/dev/uinput");
    ~SmoothScrollBackend() override;

    // Why the wheel is not smooth (empty when it is).
    const std::string& note() const noexcept { return note_; }

    std::string_view name() const override { return inner_->name(); }
    InputPermission permission() const override { return inner_->permission(); }
    std::uint64_t connections() const override { return inner_->connections(); }
    void movePointerTo(Point to) override;
    void movePointerBy(double dx, double dy) override;
    void button(int button, bool down) override;
    void key(int evdevCode, bool down) override;
    void typeText(std::u32string_view text) override;
    void wheel(int vertical, int horizontal) override;
    std::optional<KeyPlace> keyForKeysym(std::uint32_t keysym) override {
        return inner_->keyForKeysym(keysym);
    }
    bool desktopAction(DesktopAction action) override;
    std::vector<int> desktopShortcut(DesktopAction action) const override {
        return inner_->desktopShortcut(action);
    }
    void flush() override { inner_->flush(); }
    void sync() override { inner_->sync(); }

private:
    std::unique_ptr<InputBackend> inner_;
    std::unique_ptr<UinputDevice> wheel_;
    std::string note_;
    WheelTurns turns_;
    int modifiersDown_ = 0; // modifier keys down now, as the key verbs said
    bool unsynced_ = false; // verbs went to inner since its last sync
};

} // namespace quillon::platform
