#include "Platform/Input/Clipboard/PastePolicy.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace quillon::platform::clipboard {

Content textContent(const std::string& text) {
    Content out;
    for (const char* type : kTextTypes) {
        out.emplace_back(type, text);
    }
    return out;
}

std::optional<std::string> readPipe(int fd, std::chrono::steady_clock::time_point deadline,
                                    std::size_t limit) {
    using Clock = std::chrono::steady_clock;
    std::string out;
    char buf[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return std::nullopt;
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) {
            return out;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return std::nullopt;
        }
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > limit) {
            return std::nullopt;
        }
    }
}

void writePipe(int fd, const std::string& data, std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return; // the reader went away
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return;
        }
    }
}

void PastePolicy::beginPaste(const std::string& text, std::optional<Content> users, Time now,
                             bool usersKnown) {
    switch (state_) {
    case State::foreign:
        haveUsers_ = users.has_value() && !users->empty();
        users_ = haveUsers_ ? std::move(*users) : Content{};
        usersPending_ = !usersKnown;
        break;
    case State::restored: // what we offer is the user's clipboard: keep it for the next restore
    case State::pasting:  // a paste before the last one was restored: its restore still stands
        break;
    }
    paste_ = textContent(text);
    state_ = State::pasting;
    pastedAt_ = now;
    lastRead_.reset();
}

void PastePolicy::usersArrived(std::optional<Content> users) {
    if (state_ != State::pasting || !usersPending_) {
        return;
    }
    usersPending_ = false;
    haveUsers_ = users.has_value() && !users->empty();
    users_ = haveUsers_ ? std::move(*users) : Content{};
}

void PastePolicy::pasteRead(Time now) {
    if (state_ == State::pasting) {
        lastRead_ = now;
    }
}

void PastePolicy::someoneCopied() {
    state_ = State::foreign;
    paste_.clear();
    users_.clear();
    haveUsers_ = false;
    usersPending_ = false;
    lastRead_.reset();
}

bool PastePolicy::restoreDue(Time now) const {
    if (state_ != State::pasting) {
        return false;
    }
    if (now - pastedAt_ >= timing_.timeout) {
        return true;
    }
    const bool quiet = !lastRead_ || now - *lastRead_ >= timing_.quiet;
    return now - pastedAt_ >= timing_.hold && quiet;
}

const Content& PastePolicy::restore() {
    usersPending_ = false; // too late: what is not known now is not restored
    if (!haveUsers_) {
        users_ = textContent({});
        haveUsers_ = true;
    }
    paste_.clear();
    lastRead_.reset();
    state_ = State::restored;
    return users_;
}

const Content* PastePolicy::offered() const {
    switch (state_) {
    case State::pasting:
        return &paste_;
    case State::restored:
        return &users_;
    case State::foreign:
        return nullptr;
    }
    return nullptr;
}

std::optional<PastePolicy::Time> PastePolicy::nextCheck() const {
    if (state_ != State::pasting) {
        return std::nullopt;
    }
    Time at = pastedAt_ + timing_.hold;
    if (lastRead_) {
        at = std::max(at, *lastRead_ + timing_.quiet);
    }
    return std::min(at, pastedAt_ + timing_.timeout);
}

} // namespace quillon::platform::clipboard
