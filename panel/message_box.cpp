// Message boxes: the modal note and the standard exception display.
#include "message_box.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>

QString exceptionDisplayText(const QString& message)
{
    const QByteArray bytes = message.toUtf8();
    if (!bytes.isEmpty() && static_cast<unsigned char>(bytes.back()) > static_cast<unsigned char>('.'))
        return message + QLatin1Char('.');
    return message;
}

namespace {

void showBox(QMessageBox::Icon icon, const QString& text)
{
    QMessageBox box(icon, QString::fromLatin1(kApplicationTitle), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setWindowModality(Qt::ApplicationModal);
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
