#include "Quillon/Shell/ConsoleWindow.hpp"

#include "Platform/Locale/Translation.hpp"
#include "Quillon/Console/ConsoleText.hpp"
#include "Quillon/Shell/Symbols.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QFontDatabase>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

namespace quillon::shell {

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}
QString t(const char* msgid) {
    return q(i18n::tr(msgid));
}

QString countdownText(int seconds) {
    return q(i18n::fill(i18n::tr("Expires in {1}"),
                        {std::to_string(seconds / 60) + ":" + (seconds % 60 < 10 ? "0" : "") +
                         std::to_string(seconds % 60)}));
}

QLabel* caption(const QString& text, QColor colour = colours::secondary) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    label->setStyleSheet(QString("color: %1;").arg(colour.name()));
    return label;
}

QFrame* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QLabel* picture(const QString& symbol, QColor colour, int size = 16) {
    auto* label = new QLabel;
    label->setPixmap(symbolPixmap(symbol, size, colour));
    label->setObjectName(symbol); // the picture's name, for tests and accessibility tools
    label->setAccessibleName(symbol);
    return label;
}

QPushButton* button(const QString& text, bool prominent = false, QColor colour = {}) {
    auto* b = new QPushButton(text);
    if (prominent) {
        b->setDefault(true);
        if (colour.isValid()) {
            b->setStyleSheet(QString("QPushButton { background: %1; color: white; padding: 4px "
                                     "10px; border-radius: 5px; }")
                                 .arg(colour.name()));
        }
    }
    return b;
}

} // namespace

ConsoleWindow::ConsoleWindow(ShellActions& actions, std::chrono::milliseconds permissionPoll)
    : actions_(actions) {
    setWindowTitle(t("Quillon Console"));
    setWindowIcon(applicationIcon());
    setObjectName("console");
    resize(380, 480);
    permission_ = actions_.permission();
    view_ = initialPermissionView(permission_.permitted);
    outer_ = new QVBoxLayout(this);
    outer_->setContentsMargins(0, 0, 0, 0);
    timer_ = new QTimer(this);
    timer_->setInterval(static_cast<int>(permissionPoll.count()));
    QObject::connect(timer_, &QTimer::timeout, this, [this] { pollPermission(); });
    timer_->start();
    rebuild();
}

void ConsoleWindow::setState(const HostState& state) {
    state_ = state;
    secondsLeft_ = pinSecondsLeft(
        state_,
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
    rebuild();
}

void ConsoleWindow::setAway(const std::optional<HostAway>& away) {
    if (away == away_) {
        return;
    }
    away_ = away;
    rebuild();
}

void ConsoleWindow::setRemote(bool remote) {
    if (remote != remote_) {
        remote_ = remote;
        rebuild();
    }
}

void ConsoleWindow::buildAway(QVBoxLayout& v) {
    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    row->addWidget(picture("exclamationmark.triangle.fill", colours::orange));
    auto* headline = new QLabel(q(away_->text));
    headline->setObjectName("away");
    headline->setWordWrap(true);
    row->addWidget(headline, 1);
    v.addLayout(row);
    if (!away_->detail.empty()) {
        v.addWidget(caption(q(away_->detail)));
    }
    if (away_->offersStart) {
        auto* start = button(t("Start Quillon"), true);
        start->setObjectName("startHost");
        QObject::connect(start, &QPushButton::clicked, this, [this] { actions_.relaunch(); });
        v.addWidget(start);
    }
    v.addStretch();
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    auto* quit = button(t("Quit"));
    QObject::connect(quit, &QPushButton::clicked, this, [this] { actions_.quit(); });
    bottom->addWidget(quit);
    v.addLayout(bottom);
}

void ConsoleWindow::tick(double now) {
    const auto left = pinSecondsLeft(state_, now);
    if (left == secondsLeft_) {
        return;
    }
    secondsLeft_ = left;
    if (auto* label = content_ != nullptr ? content_->findChild<QLabel*>("countdown") : nullptr;
        label != nullptr && left) {
        label->setText(countdownText(*left));
    }
}

void ConsoleWindow::pollPermission() {
    const auto now = actions_.permission();
    const auto next = nextPermissionView(view_, now.permitted);
    // A changed reason (another display, another session) is news too.
    if (next != view_ || now.reason != permission_.reason) {
        view_ = next;
        permission_ = now;
        rebuild();
        if (onPermissionChange) {
            onPermissionChange();
        }
    }
}

void ConsoleWindow::resetPermission() {
    permission_ = actions_.permission();
    view_ = initialPermissionView(permission_.permitted);
    rebuild();
    if (onPermissionChange) {
        onPermissionChange();
    }
}

void ConsoleWindow::rebuild() {
    if (content_ != nullptr) {
        content_->hide();
        content_->deleteLater();
    }
    content_ = new QWidget(this);
    auto* v = new QVBoxLayout(content_);
    v->setSpacing(14);
    v->setContentsMargins(20, 20, 20, 20);
    v->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    if (away_) {
        buildAway(*v);
        outer_->addWidget(content_);
        content_->show();
        return;
    }
    const bool authorized = isAuthorized(view_);

    // 1. The input permission.
    {
        auto* row = new QHBoxLayout;
        row->setSpacing(6);
        if (authorized) {
            row->addWidget(picture("checkmark.circle.fill", colours::green));
            row->addWidget(new QLabel(t("Input permission granted")));
        } else {
            row->addWidget(picture("exclamationmark.triangle.fill", colours::orange));
            row->addWidget(new QLabel(t("Input permission needed")));
        }
        row->addStretch();
        v->addLayout(row);
        if (!authorized) {
            v->addWidget(caption(t("Without it, pointer and key input from the iPad has no "
                                   "effect, and nothing reports an error.")));
            if (!permission_.reason.empty()) {
                v->addWidget(caption(q(i18n::fill(i18n::tr("Reason: {1}"), {permission_.reason}))));
            }
            auto* open = button(t("Show How to Fix This"), true);
            open->setObjectName("showFix");
            QObject::connect(open, &QPushButton::clicked, this,
                             [this] { actions_.showPermissions(); });
            v->addWidget(open);
            v->addWidget(caption(t("Follow the steps in the window that opens, then come back "
                                   "here.")));
        }
        if (offersRelaunch(view_)) {
            auto* relaunch = button(t("Granted — Click to Restart Quillon"), true, colours::green);
            QObject::connect(relaunch, &QPushButton::clicked, this,
                             [this] { actions_.relaunch(); });
            v->addWidget(relaunch);
        }
    }
    v->addWidget(divider());

    // 2. Pairing: impossible while the records cannot be read, and said so.
    if (state_.storeProblem) {
        auto* problem = caption(q(console::storeRefused(*state_.storeProblem)), colours::red);
        problem->setObjectName("storeProblem");
        v->addWidget(problem);
        auto* pair = button(t("Pair New Device"));
        pair->setEnabled(false);
        v->addWidget(pair);
    } else if (state_.pairingPIN && state_.pairingPIN->empty()) {
        // A host elsewhere that does not tell this window its PIN (not the same program).
        auto* elsewhere = caption(t("A pairing window is open. Its code shows where Quillon runs "
                                    "(its terminal or the journal): this window is another "
                                    "build of Quillon than the running one."),
                                  colours::orange);
        elsewhere->setObjectName("pinElsewhere");
        v->addWidget(elsewhere);
        auto* cancel = button(t("Cancel Pairing"));
        QObject::connect(cancel, &QPushButton::clicked, this, [this] { actions_.endPairing(); });
        v->addWidget(cancel);
    } else if (state_.pairingPIN) {
        v->addWidget(caption(t("Enter this code on the iPad")));
        auto* pin = new QLabel(q(*state_.pairingPIN));
        pin->setObjectName("pin");
        QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        mono.setPointSize(26); // 34 px at 96 dpi
        mono.setWeight(QFont::DemiBold);
        pin->setFont(mono);
        pin->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        v->addWidget(pin);
        if (secondsLeft_) {
            auto* countdown = caption(countdownText(*secondsLeft_));
            countdown->setObjectName("countdown");
            v->addWidget(countdown);
        }
        auto* cancel = button(t("Cancel Pairing"));
        QObject::connect(cancel, &QPushButton::clicked, this, [this] { actions_.endPairing(); });
        v->addWidget(cancel);
    } else {
        if (state_.pairingExpired) {
            auto* expired =
                caption(t("The pairing code expired. Pair again for a new one."), colours::orange);
            expired->setObjectName("expired");
            v->addWidget(expired);
        }
        auto* pair = button(t("Pair New Device"));
        QObject::connect(pair, &QPushButton::clicked, this, [this] { actions_.beginPairing(); });
        v->addWidget(pair);
    }

    // 3. Devices.
    if (state_.isScreenLocked) {
        v->addWidget(caption(t("Screen locked; all connections dropped"), colours::orange));
    }
    if (state_.devices.empty() && !state_.storeProblem) {
        v->addWidget(caption(t("No device paired yet")));
    }
    for (const auto& device : state_.devices) {
        const bool connected = state_.isConnected(device.deviceID);
        auto* row = new QHBoxLayout;
        row->setSpacing(8);
        QColor dot = connected ? colours::green : colours::secondary;
        if (!connected) {
            dot.setAlphaF(0.4);
        }
        QLabel* mark = picture("circle.fill", dot, 8);
        mark->setObjectName(connected ? "dot.connected" : "dot.faded");
        row->addWidget(mark);
        row->addWidget(new QLabel(q(device.deviceName)));
        row->addStretch();
        const std::string id = device.deviceID;
        if (connected) {
            auto* disconnect = button(t("Disconnect"));
            QObject::connect(disconnect, &QPushButton::clicked, this,
                             [this, id] { actions_.disconnect(id); });
            row->addWidget(disconnect);
        }
        auto* unpair = button(t("Unpair"));
        QObject::connect(unpair, &QPushButton::clicked, this, [this, id] { actions_.unpair(id); });
        row->addWidget(unpair);
        v->addLayout(row);
    }
    v->addWidget(divider());

    // 4. Settings.
    {
        auto* group = new QGroupBox(t("Settings"));
        group->setObjectName("settings");
        auto* g = new QVBoxLayout(group);
        g->addWidget(new QLabel(t("The tablet lists this computer as:")));
        auto* name = new QLineEdit(q(actions_.setting("computerName").value_or("")));
        name->setObjectName("computerName");
        name->setPlaceholderText(q(actions_.defaultComputerName()));
        QObject::connect(name, &QLineEdit::editingFinished, this, [this, name] {
            settingChanged("computerName", name->text().trimmed().toStdString());
        });
        g->addWidget(name);

        auto* portRow = new QHBoxLayout;
        auto* automatic = new QCheckBox(t("Port chosen automatically"));
        automatic->setObjectName("portAutomatic");
        auto* port = new QSpinBox;
        port->setObjectName("port");
        port->setRange(1024, 65534);
        const auto stored = actions_.setting("port");
        const bool fixed = stored && *stored != "auto";
        automatic->setChecked(!fixed);
        port->setEnabled(fixed);
        port->setValue(fixed ? std::atoi(stored->c_str()) : (state_.port ? *state_.port : 49200));
        QObject::connect(automatic, &QCheckBox::toggled, this, [this, port](bool on) {
            port->setEnabled(!on);
            settingChanged("port", on ? "auto" : std::to_string(port->value()));
        });
        QObject::connect(port, &QSpinBox::editingFinished, this, [this, port, automatic] {
            if (!automatic->isChecked()) {
                settingChanged("port", std::to_string(port->value()));
            }
        });
        portRow->addWidget(automatic);
        portRow->addWidget(port);
        g->addLayout(portRow);
        auto* listening = caption(q(portText()));
        listening->setObjectName("listening");
        g->addWidget(listening);
        g->addWidget(caption(t("The name and the port take effect when Quillon starts again.")));

        auto* notify = new QCheckBox(t("Show desktop notifications"));
        notify->setObjectName("notifications");
        notify->setChecked(actions_.setting("notifications.enabled").value_or("true") != "false");
        QObject::connect(notify, &QCheckBox::toggled, this, [this](bool on) {
            settingChanged("notifications.enabled", on ? "true" : "false");
        });
        g->addWidget(notify);

        auto* monitorRow = new QHBoxLayout;
        monitorRow->addWidget(new QLabel(t("Monitor:")));
        auto* monitor = new QComboBox;
        monitor->setObjectName("display");
        monitor->setEditable(true);
        monitor->addItem("primary");
        monitor->addItem("all");
        monitor->setCurrentText(q(actions_.setting("display").value_or("primary")));
        monitor->setToolTip(t("primary, all, or a monitor's name (DP-2, HEADLESS-1)"));
        // Taken when chosen or when typing is done, not at every keystroke.
        const auto takeMonitor = [this, monitor] {
            const auto text = monitor->currentText().trimmed();
            if (!text.isEmpty()) {
                settingChanged("display", text.toStdString());
            }
        };
        QObject::connect(monitor, &QComboBox::activated, this, takeMonitor);
        QObject::connect(monitor->lineEdit(), &QLineEdit::editingFinished, this, takeMonitor);
        monitorRow->addWidget(monitor, 1);
        g->addLayout(monitorRow);
        if (!settingError_.empty()) {
            auto* error = caption(q(settingError_), colours::red);
            error->setObjectName("settingError");
            g->addWidget(error);
        }
        v->addWidget(group);
    }

    // 5. Telemetry, and starting at login.
    auto* telemetry = new QCheckBox(t("Send anonymous usage data"));
    telemetry->setChecked(actions_.telemetryEnabled());
    QObject::connect(telemetry, &QCheckBox::toggled, this,
                     [this](bool on) { actions_.setTelemetryEnabled(on); });
    v->addWidget(telemetry);
    v->addWidget(caption(t("Only counts such as whether pairing succeeded and which connection "
                           "was used; never keys, pointer or application names. Nothing is "
                           "sent while the screen is locked.")));
    auto* login = new QCheckBox(t("Start at login"));
    login->setChecked(actions_.startsAtLogin());
    QObject::connect(login, &QCheckBox::toggled, this,
                     [this](bool on) { actions_.setStartsAtLogin(on); });
    v->addWidget(login);

    // 6. What is wrong now: the last error, tablets unable to find the host, the last peer
    // turned away (each goes when it no longer holds).
    if (state_.lastError) {
        auto* error = caption(q(*state_.lastError), colours::red);
        error->setObjectName("lastError");
        v->addWidget(error);
    }
    if (!state_.discoverable) {
        auto* lost = caption(t("Tablets cannot find this computer: avahi-daemon is not "
                               "running. Quillon keeps listening and publishes itself when it "
                               "is back."),
                             colours::orange);
        lost->setObjectName("discovery");
        v->addWidget(lost);
    }
    if (state_.notice) {
        auto* notice = caption(q(noticeLine(*state_.notice)));
        notice->setObjectName("notice");
        v->addWidget(notice);
    }

    // 7. Footer.
    {
        auto* row = new QHBoxLayout;
        row->setSpacing(6);
        QString symbol = "wifi.slash";
        QString text = t("Not connected");
        if (state_.activeChannel == HostChannel::wifi) {
            symbol = "wifi";
            text = t("Connected · Wi-Fi");
        } else if (state_.activeChannel == HostChannel::usb) {
            symbol = "cable.connector";
            text = t("Connected · USB cable");
        }
        row->addWidget(picture(symbol, colours::secondary, 12));
        row->addWidget(caption(text));
        row->addStretch();
        v->addStretch();
        v->addLayout(row);
        auto* bottom = new QHBoxLayout;
        bottom->addWidget(
            caption(authorized ? t("Service running") : t("Service waiting for input permission")));
        bottom->addStretch();
        auto* quit = button(t("Quit"));
        QObject::connect(quit, &QPushButton::clicked, this, [this] { actions_.quit(); });
        bottom->addWidget(quit);
        v->addLayout(bottom);
        if (remote_) {
            auto* remote = caption(t("Quillon runs on its own here (the user unit, or a "
                                     "terminal): Quit closes this window, and the tablet keeps "
                                     "working."));
            remote->setObjectName("remote");
            v->addWidget(remote);
        }
    }
    outer_->addWidget(content_);
    content_->show();
    // The default size is a default: a longer reason or a larger font grows the window
    // instead of clipping its wrapped texts.
    if (const int needed = content_->heightForWidth(width()); needed > height()) {
        resize(width(), needed);
    }
}

std::string ConsoleWindow::portText() const {
    if (!state_.port) {
        return i18n::tr("Not listening");
    }
    std::string text =
        i18n::fill(i18n::tr("Listening on TCP port {1}"), {std::to_string(*state_.port)});
    if (state_.pairingPort) {
        text += i18n::fill(i18n::tr(" (pairing on {1})"), {std::to_string(*state_.pairingPort)});
    }
    return text;
}

void ConsoleWindow::settingChanged(const std::string& key, const std::string& value) {
    // The answer may come later (a host elsewhere), when this window may be gone.
    actions_.setSetting(
        key, value, [window = QPointer<ConsoleWindow>(this)](std::optional<std::string> refusal) {
            if (!window) {
                return;
            }
            const std::string error = refusal.value_or("");
            if (error != window->settingError_) {
                window->settingError_ = error;
                // Redrawn after the editor's signal is done: the editor belongs to the old content.
                QTimer::singleShot(0, window.data(), [window] {
                    if (window) {
                        window->rebuild();
                    }
                });
            }
        });
}

} // namespace quillon::shell
