// SPDX-License-Identifier: GPL-3.0-or-later
// How the program names the tone it plays.
#include "tone_description.h"

#include "band_colour.h"

#include <cstdlib>
#include <string_view>
#include <utility>

namespace quavira {

// By the colour the front window gives the beat; a beat of 0 has the
// window's own colour and no band.
QString bandName(int beatHz)
{
    static const std::pair<QRgb, const char*> kBands[] = {
        {0xC0C0C0, "Delta"}, {0xFF00FF, "Theta"}, {0x00FFFF, "Alpha"}, {0x00FF00, "Beta"}, {0xFF8000, "Gamma"}};
    const QColor colour = bandColour(beatHz);
    for (const auto& [rgb, name] : kBands)
        if (colour == QColor(rgb))
            return QString::fromLatin1(name);
    return {};
}

QString toneTitle(int leftHz, int rightHz)
{
    return QStringLiteral("%1 Hz / %2 Hz").arg(leftHz).arg(rightHz);
}

QString beatDescription(int leftHz, int rightHz)
{
    const int beatHz = std::abs(rightHz - leftHz);
    const QString band = bandName(beatHz);
    return band.isEmpty() ? QStringLiteral("No beat") : QStringLiteral("%1 Hz, %2").arg(beatHz).arg(band);
}

QString offsetDescription(int offsetHz)
{
    const QString band = bandName(offsetHz);
    return band.isEmpty() ? QStringLiteral("No beat") : QStringLiteral("%1, %2 Hz beat").arg(band).arg(offsetHz);
}

QString noiseDescription(std::optional<NoiseColour> colour, double levelDb)
{
    if (!colour)
        return {};
    const std::string_view name = noiseColourName(*colour);
    return QStringLiteral("%1 noise, %2 dB")
        .arg(QLatin1String(name.data(), static_cast<qsizetype>(name.size())))
        .arg(levelDb);
}

}  // namespace quavira
