#pragma once

#include "Platform/Input/InputBackend.hpp"
#include "Platform/Input/UinputDevice.hpp"

#include <memory>
#include <string>

namespace quillon::platform {

// A session's backend with the wheel turned through the kernel: a uinput mouse ("Quillon
// wheel") whose high-resolution wheel events (REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES, 120 a click)
// the session reads through libinput, so parts of a click scroll smoothly where the backend
// itself has only whole clicks (XTest: buttons 4-7). Every other verb, zoom included (Control
// and wheel clicks must reach the server in order), goes to `inner` unchanged.
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
    void movePointerTo(Point to) override { inner_->movePointerTo(to); }
    void movePointerBy(double dx, double dy) override { inner_->movePointerBy(dx, dy); }
    void button(int button, bool down) override { inner_->button(button, down); }
    void key(int evdevCode, bool down) override { inner_->key(evdevCode, down); }
    void typeText(std::u32string_view text) override { inner_->typeText(text); }
    void wheel(int vertical, int horizontal) override;
    void zoom(int steps) override { inner_->zoom(steps); }
    void switchDesktop(int delta) override { inner_->switchDesktop(delta); }
    void toggleShowDesktop() override { inner_->toggleShowDesktop(); }
    void openOverview() override { inner_->openOverview(); }
    void releaseAll() override;
    void flush() override { inner_->flush(); }
    void sync() override { inner_->sync(); }

private:
    std::unique_ptr<InputBackend> inner_;
    std::unique_ptr<UinputDevice> wheel_;
    std::string note_;
    WheelTurns turns_;
};

} // namespace quillon::platform
