// SPDX-License-Identifier: GPL-3.0-or-later
// JpegPicture: a JPEG image decoded with libjpeg-turbo and drawn stretched to the widget.
#include "jpeg_picture.h"

#include <QFile>
#include <QPainter>

#include <turbojpeg.h>

#include <memory>

namespace {

// Larger pictures are refused rather than allocated.
constexpr int kMaxSidePixels = 8192;

struct DecompressorDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};

}  // namespace

QImage decodeJpeg(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return {};
    const std::unique_ptr<void, DecompressorDeleter> handle(tjInitDecompress());
    if (!handle)
        return {};

    auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    const auto size = static_cast<unsigned long>(bytes.size());
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colourspace = 0;
    if (tjDecompressHeader3(handle.get(), data, size, &width, &height, &subsampling, &colourspace) != 0)
        return {};
    if (width <= 0 || height <= 0 || width > kMaxSidePixels || height > kMaxSidePixels)
        return {};

    QImage image(width, height, QImage::Format_RGB888);
    if (image.isNull())
        return {};
    if (tjDecompress2(handle.get(), data, size, image.bits(), width, static_cast<int>(image.bytesPerLine()), height,
                      TJPF_RGB, 0) != 0 &&
        tjGetErrorCode(handle.get()) != TJERR_WARNING)
        return {};
    return image;
}

JpegPicture::JpegPicture(QWidget* parent) : QWidget(parent) {}

void JpegPicture::setSource(const QString& path)
{
    m_source = path;
    QFile file(path);
    m_image = file.open(QIODevice::ReadOnly) ? decodeJpeg(file.readAll()) : QImage();
    update();
}

void JpegPicture::paintEvent(QPaintEvent*)
{
    if (m_image.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(rect(), m_image);
}
