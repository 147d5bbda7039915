#include "Quillon/Shell/PermissionWindow.hpp"

#include "Platform/Locale/Translation.hpp"
#include "Quillon/Shell/Symbols.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillon::shell {

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}
QString t(const char* msgid) {
    return q(i18n::tr(msgid));
}

QLabel* secondary(const QString& text, double scale) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    label->setFont(font);
    label->setStyleSheet(QString("color: %1;").arg(colours::secondary.name()));
    return label;
}

} // namespace

PermissionWindow::PermissionWindow(ShellActions& actions) : actions_(actions) {
    setWindowTitle(t("Permission Check"));
    setWindowIcon(applicationIcon());
    setObjectName("permissions");
    resize(380, 260);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    status_ = actions_.permission();
    rebuild();
}

void PermissionWindow::recheck() {
    status_ = actions_.permission();
    rebuild();
}

void PermissionWindow::rebuild() {
    if (content_ != nullptr) {
        content_->hide();
        content_->deleteLater();
    }
    content_ = new QWidget(this);
    auto* v = new QVBoxLayout(content_);
    v->setSpacing(16);
    v->setContentsMargins(24, 24, 24, 24);
    v->setAlignment(Qt::AlignTop | Qt::AlignLeft);

    auto* headline = new QLabel(t("Quillon needs permission to post input"));
    QFont bold = headline->font();
    bold.setBold(true);
    headline->setFont(bold);
    v->addWidget(headline);
    v->addWidget(
        secondary(t("Without it, pointer and key input from the iPad has no effect, and nothing "
                    "reports an error."),
                  0.95));

    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* mark = new QLabel;
    const QString symbol = status_.permitted ? "checkmark.circle.fill" : "xmark.circle.fill";
    mark->setPixmap(symbolPixmap(symbol, 18, status_.permitted ? colours::green : colours::red));
    mark->setObjectName(symbol);
    row->addWidget(mark);
    row->addWidget(new QLabel(status_.permitted ? t("Granted") : t("Not granted")));
    row->addStretch();
    v->addLayout(row);
    if (!status_.permitted && !status_.reason.empty()) {
        v->addWidget(secondary(q(i18n::fill(i18n::tr("Reason: {1}"), {status_.reason})), 0.85));
    }
    // The session's own steps, here in the window.
    if (!status_.permitted && !status_.guide.steps.empty()) {
        v->addWidget(new QLabel(t("What to do:")));
        for (std::size_t i = 0; i < status_.guide.steps.size(); ++i) {
            auto* step = secondary(q(std::to_string(i + 1) + ". " + status_.guide.steps[i]), 0.9);
            step->setObjectName("step");
            step->setTextInteractionFlags(Qt::TextSelectableByMouse);
            v->addWidget(step);
        }
    }
    v->addWidget(
        secondary(t("After fixing it, restart Quillon for the change to take effect."), 0.85));
    if (!grantResult_.empty()) {
        v->addWidget(secondary(q(grantResult_), 0.85));
    }

    auto* buttons = new QHBoxLayout;
    if (!status_.permitted && status_.guide.offersKdeGrant) {
        auto* grant = new QPushButton(t("Grant Input on KDE"));
        grant->setObjectName("grantKde");
        QObject::connect(grant, &QPushButton::clicked, this, [this] {
            const auto error = actions_.grantKdeInput();
            grantResult_ = error ? i18n::fill(i18n::tr("Could not grant: {1}"), {*error})
                                 : i18n::tr("Done. Log out and log in again, then start "
                                            "Quillon.");
            rebuild();
        });
        buttons->addWidget(grant);
    }
    auto* again = new QPushButton(t("Check Again"));
    QObject::connect(again, &QPushButton::clicked, this, [this] { recheck(); });
    buttons->addWidget(again);
    buttons->addStretch();
    v->addLayout(buttons);
    layout()->addWidget(content_);
    content_->show();
    // The default size is a default: a longer reason or a larger font grows the window
    // instead of clipping its wrapped texts.
    if (const int needed = content_->heightForWidth(width()); needed > height()) {
        resize(width(), needed);
    }
}

} // namespace quillon::shell
