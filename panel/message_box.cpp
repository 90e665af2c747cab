// SPDX-License-Identifier: GPL-3.0-or-later
// Message boxes: the modal note and the standard exception display.
#include "message_box.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>

#include <algorithm>

QString exceptionDisplayText(const QString& message)
{
    const QByteArray bytes = message.toUtf8();
    if (!bytes.isEmpty() && static_cast<unsigned char>(bytes.back()) > static_cast<unsigned char>('.'))
        return message + QLatin1Char('.');
    return message;
}

namespace {

// How wide a window manager needs a box to draw its caption whole. Title
// bars draw the caption in a bold face, centred between the window's icon
// and buttons on either side; allow four of those, each about a line high,
// on each side. Qt allows a fixed 50 pixels, which under a window manager
// with an icon and three buttons leaves a short text's caption cut to its
// first letter. At most half the screen, where Qt starts wrapping the text.
int captionedWidth(const QMessageBox& box)
{
    QFont font = QApplication::font("QMdiSubWindowTitleBar");
    font.setBold(true);
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(box.windowTitle()) + 8 * metrics.height();
    const QScreen* screen = box.screen();
    return screen ? std::min(width, screen->availableGeometry().width() / 2) : width;
}

// The box sizes itself to its layout's minimum whenever it is shown or laid
// out again, so the width goes into the layout: its last column, which holds
// the text, is made wide enough. Text, icon and button stay as they are.
void widenForCaption(QMessageBox& box)
{
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid)
        return;
    const QMargins margins = grid->contentsMargins();
    grid->setColumnMinimumWidth(grid->columnCount() - 1, captionedWidth(box) - margins.left() - margins.right());
}

void showBox(QMessageBox::Icon icon, const QString& text)
{
    QMessageBox box(icon, QString::fromLatin1(kApplicationTitle), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setWindowModality(Qt::ApplicationModal);
    widenForCaption(box);
    box.adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        box.move(screen->availableGeometry().center() - box.rect().center());
    box.exec();
}

}  // namespace

void ModalMessageBox::inform(const QString& text)
{
    showBox(QMessageBox::NoIcon, text);
}

void ModalMessageBox::error(const QString& text)
{
    showBox(QMessageBox::Critical, text);
}
