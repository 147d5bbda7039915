#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace quillon::shell {

// The small pictures the views show, drawn here rather than taken from an icon theme: a
// desktop without one (or without an SVG image plugin) still shows them, and they look the
// same everywhere. Names are the views' own ("checkmark.circle.fill", "wifi.slash", ...);
// an unknown name draws nothing.
QPixmap symbolPixmap(const QString& name, int size, QColor colour);
QIcon symbolIcon(const QString& name, QColor colour);

// The application's icon (a tablet with a pen), for the tray and the windows; the installed
// hicolor icon when the theme has it.
QIcon applicationIcon();
// The tray's icon for a state: the theme's icon of that name ("quillon-connected",
// "quillon-attention"), else the application's picture with a badge (a green dot, an orange
// exclamation mark) drawn on it.
QIcon trayIcon(const QString& themeName);

namespace colours {
inline const QColor green{0x34, 0xc7, 0x59};
inline const QColor orange{0xff, 0x95, 0x00};
inline const QColor red{0xff, 0x3b, 0x30};
inline const QColor secondary{0x8a, 0x8a, 0x8e};
} // namespace colours

} // namespace quillon::shell
