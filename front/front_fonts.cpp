// SPDX-License-Identifier: GPL-3.0-or-later
// Font faces the front window's layout names and their free look-alikes.
#include "front_fonts.h"

#include <QFont>
#include <QFontDatabase>
#include <QString>

void installFrontFontSubstitutes()
{
    const QString designFace = QStringLiteral("Gill Sans MT");
    if (!QFontDatabase::hasFamily(designFace))
        QFont::insertSubstitution(designFace, QStringLiteral("Gillius ADF No2"));
}
