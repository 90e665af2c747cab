// SPDX-License-Identifier: GPL-3.0-or-later
// The dialog that asks where to save the tone, as which type and how long.
#pragma once

#include "tone_file.h"

#include <QFileDialog>

class QLineEdit;
class QSpinBox;

// Qt's own save dialog (the desktop's could not hold the length field) with
// the file types "FLAC audio (*.flac)", the default, and "WAV audio (*.wav)",
// and a length of 1 to 180 minutes below them. The file name's suffix
// follows the chosen type; replacing an existing file asks first. UI thread
// only.
class SaveToneDialog : public QFileDialog {
    Q_OBJECT

public:
    static constexpr int kMinimumMinutes = 1;
    static constexpr int kMaximumMinutes = 180;
    static constexpr int kDefaultMinutes = 30;

    // Opens on `folder` with `baseName` and the default type's suffix as the
    // proposed file name.
    SaveToneDialog(QWidget* parent, const QString& folder, const QString& baseName);

    // What the user accepted.
    QString targetPath() const;
    quavira::ToneFileFormat format() const;
    int minutes() const;

    // Gives the typed name the chosen type's suffix, then lets Qt check and
    // confirm it (a replacement asks here, for the final name).
    void accept() override;

    QSpinBox* lengthField() const { return m_length; }

private:
    void fileTypeSelected();
    void giveNameTheSuffix();

    QSpinBox* m_length = nullptr;
    QLineEdit* m_name = nullptr;  // Qt's own file name field
};
