#include "Quillon/Shell/PermissionWindow.hpp"

#include "Quillon/Console/Translations.hpp"
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
QString t(std::string_view source) {
    return q(i18n::tr(source));
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
    setWindowTitle(t("权限检查"));
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

    auto* headline = new QLabel(t("Corvane 需要辅助功能权限"));
    QFont bold = headline->font();
    bold.setBold(true);
    headline->setFont(bold);
    v->addWidget(headline);
    v->addWidget(
        secondary(t("没有这个权限，来自 iPad 的指针和按键不会有任何反应，而且不会报错。"), 0.95));

    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* mark = new QLabel;
    const QString symbol = status_.permitted ? "checkmark.circle.fill" : "xmark.circle.fill";
    mark->setPixmap(symbolPixmap(symbol, 18, status_.permitted ? colours::green : colours::red));
    mark->setObjectName(symbol);
    row->addWidget(mark);
    row->addWidget(new QLabel(status_.permitted ? t("已授权") : t("未授权")));
    row->addStretch();
    v->addLayout(row);
    if (!status_.permitted && !status_.reason.empty()) {
        v->addWidget(secondary(
            t("原因：") + q(status_.reason) + "\n" + t("解决办法：") + q(status_.fix), 0.85));
    }
    v->addWidget(secondary(t("授权后需要重新启动 Corvane 才会生效。"), 0.85));

    auto* buttons = new QHBoxLayout;
    auto* open = new QPushButton(t("打开系统设置"));
    QObject::connect(open, &QPushButton::clicked, this, [this] { actions_.openSettings(); });
    auto* again = new QPushButton(t("重新检查"));
    QObject::connect(again, &QPushButton::clicked, this, [this] { recheck(); });
    buttons->addWidget(open);
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
