#include "Quillon/Shell/Symbols.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QPen>

namespace quillon::shell {

namespace {

void wifiArcs(QPainter& p, double s, QColor c) {
    QPen pen(c, s * 0.09, Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    for (int i = 1; i <= 3; ++i) {
        const double r = s * 0.14 * i + s * 0.02;
        QRectF box(s / 2 - r, s * 0.78 - r, 2 * r, 2 * r);
        p.drawArc(box, 45 * 16, 90 * 16);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QPointF(s / 2, s * 0.78), s * 0.07, s * 0.07);
}

} // namespace

QPixmap symbolPixmap(const QString& name, int size, QColor colour) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    const QPen white(Qt::white, s * 0.11, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    if (name == "checkmark.circle.fill" || name == "xmark.circle.fill") {
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawEllipse(QRectF(s * 0.05, s * 0.05, s * 0.9, s * 0.9));
        p.setPen(white);
        if (name.startsWith("checkmark")) {
            QPainterPath path;
            path.moveTo(s * 0.28, s * 0.52);
            path.lineTo(s * 0.44, s * 0.68);
            path.lineTo(s * 0.72, s * 0.34);
            p.setBrush(Qt::NoBrush);
            p.drawPath(path);
        } else {
            p.drawLine(QPointF(s * 0.33, s * 0.33), QPointF(s * 0.67, s * 0.67));
            p.drawLine(QPointF(s * 0.67, s * 0.33), QPointF(s * 0.33, s * 0.67));
        }
    } else if (name == "exclamationmark.triangle.fill") {
        QPainterPath tri;
        tri.moveTo(s * 0.5, s * 0.06);
        tri.lineTo(s * 0.96, s * 0.9);
        tri.lineTo(s * 0.04, s * 0.9);
        tri.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawPath(tri);
        p.setPen(white);
        p.drawLine(QPointF(s * 0.5, s * 0.36), QPointF(s * 0.5, s * 0.6));
        p.drawPoint(QPointF(s * 0.5, s * 0.76));
    } else if (name == "wifi" || name == "wifi.slash") {
        wifiArcs(p, s, colour);
        if (name == "wifi.slash") {
            p.setPen(QPen(colour, s * 0.09, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(s * 0.15, s * 0.12), QPointF(s * 0.85, s * 0.88));
        }
    } else if (name == "cable.connector") {
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawRoundedRect(QRectF(s * 0.3, s * 0.3, s * 0.4, s * 0.38), s * 0.06, s * 0.06);
        p.drawRect(QRectF(s * 0.38, s * 0.12, s * 0.08, s * 0.2));
        p.drawRect(QRectF(s * 0.54, s * 0.12, s * 0.08, s * 0.2));
        p.drawRect(QRectF(s * 0.46, s * 0.68, s * 0.08, s * 0.26));
    } else if (name == "circle.fill") {
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawEllipse(QRectF(0, 0, s, s));
    }
    return pixmap;
}

QIcon symbolIcon(const QString& name, QColor colour) {
    QIcon icon;
    for (const int size : {16, 24, 32}) {
        icon.addPixmap(symbolPixmap(name, size, colour));
    }
    return icon;
}

namespace {

// The tablet with its pen, and an optional badge in the bottom-right corner.
QIcon drawnIcon(const QString& badge) {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        const double s = size;
        // The tablet.
        p.setPen(QPen(QColor(0x2b, 0x2d, 0x42), s * 0.08));
        p.setBrush(QColor(0xed, 0xf2, 0xf4));
        p.drawRoundedRect(QRectF(s * 0.1, s * 0.16, s * 0.8, s * 0.68), s * 0.1, s * 0.1);
        // The pen, across it.
        p.setPen(QPen(QColor(0x3a, 0x86, 0xff), s * 0.14, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(s * 0.32, s * 0.68), QPointF(s * 0.78, s * 0.22));
        p.setPen(QPen(QColor(0x2b, 0x2d, 0x42), s * 0.06, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(s * 0.22, s * 0.78), QPointF(s * 0.3, s * 0.7));
        if (!badge.isEmpty()) {
            const QColor colour = badge == "connected" ? colours::green : colours::orange;
            const QRectF dot(s * 0.52, s * 0.52, s * 0.46, s * 0.46);
            p.setPen(QPen(Qt::white, s * 0.05));
            p.setBrush(colour);
            p.drawEllipse(dot);
            if (badge == "attention") {
                p.setPen(QPen(Qt::white, s * 0.07, Qt::SolidLine, Qt::RoundCap));
                p.drawLine(QPointF(dot.center().x(), dot.top() + s * 0.1),
                           QPointF(dot.center().x(), dot.center().y() + s * 0.04));
                p.drawPoint(QPointF(dot.center().x(), dot.bottom() - s * 0.09));
            }
        }
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

QIcon applicationIcon() {
    return QIcon::fromTheme("quillon", drawnIcon({}));
}

QIcon trayIcon(const QString& themeName) {
    const QString badge = themeName.endsWith("-connected")   ? "connected"
                          : themeName.endsWith("-attention") ? "attention"
                                                             : QString();
    return QIcon::fromTheme(themeName, drawnIcon(badge));
}

} // namespace quillon::shell

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
// Sanitizer builds only. fontconfig keeps its font patterns in caches it frees only through
// FcFini(), which Qt never calls; LeakSanitizer would otherwise fail every run of a program
// that draws text.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
#endif
#endif
