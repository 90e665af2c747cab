// SPDX-License-Identifier: GPL-3.0-or-later
// A message-box seam for tests: records every box, in order, instead of
// blocking, and notes whether the front window was visible at the time.
#pragma once

#include "message_box.h"

#include <QApplication>
#include <QStringList>
#include <QWidget>

class RecordingMessages final : public MessageBox {
public:
    void inform(const QString& text) override { record(text); }
    void error(const QString& text) override
    {
        errors << text;
        record(text);
    }

    QStringList shown;   // every box's text
    QStringList errors;  // the standard exception display's texts
    bool frontExistedAtFirstBox = false;
    bool frontVisibleAtFirstBox = false;

private:
    void record(const QString& text)
    {
        if (shown.isEmpty())
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->objectName() == QLatin1String("Form1")) {
                    frontExistedAtFirstBox = true;
                    frontVisibleAtFirstBox = w->isVisible();
                }
        shown << text;
    }
};
