// SPDX-License-Identifier: GPL-3.0-or-later
// Registers the fonts the layouts name that the system may not know.
#include "bundled_fonts.h"

#include <QFile>
#include <QFontDatabase>
#include <QString>

void loadBundledFonts()
{
    // Installed by fonts-wine but not registered with fontconfig.
    static const char* const kFontFiles[] = {
        "/usr/share/wine/fonts/ms_sans_serif.ttf",
        "/usr/share/wine/fonts/webdings.ttf",
    };
    for (const char* file : kFontFiles) {
        const QString path = QString::fromLatin1(file);
        if (QFile::exists(path))
            QFontDatabase::addApplicationFont(path);
    }
}
