// SPDX-License-Identifier: GPL-3.0-or-later
// JpegPicture: a JPEG image decoded with libjpeg-turbo and drawn stretched to the widget.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QWidget>

// Decodes JPEG bytes to an RGB image; a null image when the bytes are not a
// JPEG that can be decoded (a damaged tail still yields what was decoded).
QImage decodeJpeg(const QByteArray& bytes);

// Shows the JPEG file (or resource) named by `source`, stretched over the
// whole widget. A file that cannot be read or decoded shows nothing.
// UI thread only.
class JpegPicture : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString source READ source WRITE setSource)

public:
    explicit JpegPicture(QWidget* parent = nullptr);

    QString source() const { return m_source; }
    void setSource(const QString& path);
    const QImage& image() const { return m_image; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_source;
    QImage m_image;
};
