#include "Quillon/Shell/ConsoleWindow.hpp"

#include "Quillon/Console/ConsoleText.hpp"
#include "Quillon/Console/Translations.hpp"
#include "Quillon/Shell/Symbols.hpp"

#include <QCheckBox>
#include <QFont>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace quillon::shell {

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}
QString t(std::string_view source) {
    return q(i18n::tr(source));
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
    setWindowTitle(t("Corvane 控制台"));
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
    rebuild();
}

void ConsoleWindow::pollPermission() {
    const auto now = actions_.permission();
    const auto next = nextPermissionView(view_, now.permitted);
    // A changed reason (another display, another session) is news too.
    if (next != view_ || now.reason != permission_.reason) {
        view_ = next;
        permission_ = now;
        rebuild();
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
    const bool authorized = isAuthorized(view_);

    // 1. The input permission.
    {
        auto* row = new QHBoxLayout;
        row->setSpacing(6);
        if (authorized) {
            row->addWidget(picture("checkmark.circle.fill", colours::green));
            row->addWidget(new QLabel(t("辅助功能已授权")));
        } else {
            row->addWidget(picture("exclamationmark.triangle.fill", colours::orange));
            row->addWidget(new QLabel(t("需要辅助功能权限")));
        }
        row->addStretch();
        v->addLayout(row);
        if (!authorized) {
            v->addWidget(
                caption(t("没有这个权限，来自 iPad 的指针和按键不会有任何反应，而且不会报错。")));
            if (!permission_.reason.empty()) {
                v->addWidget(caption(t("原因：") + q(permission_.reason) + "\n" + t("解决办法：") +
                                     q(permission_.fix)));
            }
            auto* open = button(t("打开辅助功能设置并授权"), true);
            QObject::connect(open, &QPushButton::clicked, this,
                             [this] { actions_.openSettings(); });
            v->addWidget(open);
            v->addWidget(caption(t("在打开的列表里找到 Quillon，把开关打开。")));
        }
        if (offersRelaunch(view_)) {
            auto* relaunch = button(t("已授权 — 点此重启使其生效"), true, colours::green);
            QObject::connect(relaunch, &QPushButton::clicked, this,
                             [this] { actions_.relaunch(); });
            v->addWidget(relaunch);
        }
    }
    v->addWidget(divider());

    // 2. Pairing.
    if (state_.pairingPIN) {
        v->addWidget(caption(t("在 iPad 上输入配对码")));
        auto* pin = new QLabel(q(*state_.pairingPIN));
        pin->setObjectName("pin");
        QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        mono.setPointSize(26); // 34 px at 96 dpi
        mono.setWeight(QFont::DemiBold);
        pin->setFont(mono);
        pin->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        v->addWidget(pin);
        auto* cancel = button(t("取消配对"));
        QObject::connect(cancel, &QPushButton::clicked, this, [this] { actions_.endPairing(); });
        v->addWidget(cancel);
    } else {
        auto* pair = button(t("配对新设备"));
        QObject::connect(pair, &QPushButton::clicked, this, [this] { actions_.beginPairing(); });
        v->addWidget(pair);
    }

    // 3. Devices.
    if (state_.isScreenLocked) {
        v->addWidget(caption(t("屏幕已锁定，连接已全部断开"), colours::orange));
    }
    if (state_.devices.empty()) {
        v->addWidget(caption(t("尚未配对任何设备")));
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
            auto* disconnect = button(t("断开"));
            QObject::connect(disconnect, &QPushButton::clicked, this,
                             [this, id] { actions_.disconnect(id); });
            row->addWidget(disconnect);
        }
        auto* unpair = button(t("解除配对"));
        QObject::connect(unpair, &QPushButton::clicked, this, [this, id] { actions_.unpair(id); });
        row->addWidget(unpair);
        v->addLayout(row);
    }
    v->addWidget(divider());

    // 4. Telemetry, and starting at login.
    auto* telemetry = new QCheckBox(t("上报匿名使用数据"));
    telemetry->setChecked(actions_.telemetryEnabled());
    QObject::connect(telemetry, &QCheckBox::toggled, this,
                     [this](bool on) { actions_.setTelemetryEnabled(on); });
    v->addWidget(telemetry);
    v->addWidget(
        caption(t("只上报配对是否成功、走的哪条连接方式这类不涉及按键、指针或应用名的计数，"
                  "锁屏时不上报。")));
    auto* login = new QCheckBox(t("登录时启动"));
    login->setChecked(actions_.startsAtLogin());
    QObject::connect(login, &QCheckBox::toggled, this,
                     [this](bool on) { actions_.setStartsAtLogin(on); });
    v->addWidget(login);

    // 5. The last error.
    if (state_.lastError) {
        v->addWidget(caption(q(*state_.lastError), colours::red));
    }
    // The last peer turned away, so a failed pairing or connection does not pass unseen.
    if (state_.notice) {
        v->addWidget(caption(q(console::noticeLine(*state_.notice))));
    }

    // 6. Footer.
    {
        auto* row = new QHBoxLayout;
        row->setSpacing(6);
        QString symbol = "wifi.slash";
        QString text = t("未连接");
        if (state_.activeChannel == HostChannel::wifi) {
            symbol = "wifi";
            text = t("已连接 · WiFi");
        } else if (state_.activeChannel == HostChannel::usb) {
            symbol = "cable.connector";
            text = t("已连接 · 数据线");
        }
        row->addWidget(picture(symbol, colours::secondary, 12));
        row->addWidget(caption(text));
        row->addStretch();
        v->addStretch();
        v->addLayout(row);
        auto* bottom = new QHBoxLayout;
        bottom->addWidget(caption(authorized ? t("服务运行中") : t("服务待授权")));
        bottom->addStretch();
        auto* quit = button(t("退出"));
        QObject::connect(quit, &QPushButton::clicked, this, [this] { actions_.quit(); });
        bottom->addWidget(quit);
        v->addLayout(bottom);
    }
    outer_->addWidget(content_);
    content_->show();
    // The default size is a default: a longer reason or a larger font grows the window
    // instead of clipping its wrapped texts.
    if (const int needed = content_->heightForWidth(width()); needed > height()) {
        resize(width(), needed);
    }
}

} // namespace quillon::shell
