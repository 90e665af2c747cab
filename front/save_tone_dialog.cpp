// SPDX-License-Identifier: GPL-3.0-or-later
// The dialog that asks where to save the tone, as which type and how long.
#include "save_tone_dialog.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

namespace {

using quavira::ToneFileFormat;

const QString kFlacFilter = QStringLiteral("FLAC audio (*.flac)");
const QString kWavFilter = QStringLiteral("WAV audio (*.wav)");

QString suffixOf(ToneFileFormat format)
{
    return format == ToneFileFormat::Flac ? QStringLiteral("flac") : QStringLiteral("wav");
}

}  // namespace

SaveToneDialog::SaveToneDialog(QWidget* parent, const QString& folder, const QString& baseName)
    : QFileDialog(parent, QStringLiteral("Save as audio file"), folder)
{
    setOption(QFileDialog::DontUseNativeDialog);
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setNameFilters({kFlacFilter, kWavFilter});
    selectNameFilter(kFlacFilter);
    setDefaultSuffix(suffixOf(ToneFileFormat::Flac));
    selectFile(baseName + QLatin1Char('.') + suffixOf(ToneFileFormat::Flac));

    // Qt's dialog is a grid: folder, files, name, type. The length goes
    // below the type, label and field in their columns.
    m_length = new QSpinBox(this);
    m_length->setObjectName(QStringLiteral("lengthField"));
    m_length->setRange(kMinimumMinutes, kMaximumMinutes);
    m_length->setValue(kDefaultMinutes);
    m_length->setSuffix(QStringLiteral(" min"));
    auto* lengthLabel = new QLabel(QStringLiteral("&Length:"), this);
    lengthLabel->setBuddy(m_length);
    if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
        const int row = grid->rowCount();
        grid->addWidget(lengthLabel, row, 0);
        grid->addWidget(m_length, row, 1, Qt::AlignLeft);
    }
    if (auto* typeField = findChild<QComboBox*>(QStringLiteral("fileTypeCombo")))
        setTabOrder(typeField, m_length);
    m_name = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));

    connect(this, &QFileDialog::filterSelected, this, &SaveToneDialog::fileTypeSelected);
}

QString SaveToneDialog::targetPath() const
{
    return selectedFiles().value(0);
}

ToneFileFormat SaveToneDialog::format() const
{
    return selectedNameFilter() == kWavFilter ? ToneFileFormat::Wav : ToneFileFormat::Flac;
}

int SaveToneDialog::minutes() const
{
    return m_length->value();
}

void SaveToneDialog::accept()
{
    giveNameTheSuffix();
    QFileDialog::accept();
}

void SaveToneDialog::fileTypeSelected()
{
    setDefaultSuffix(suffixOf(format()));
    giveNameTheSuffix();
}

void SaveToneDialog::giveNameTheSuffix()
{
    if (!m_name)
        return;
    QString name = m_name->text();
    const QString wanted = QLatin1Char('.') + suffixOf(format());
    if (name.isEmpty() || name.endsWith(wanted, Qt::CaseInsensitive))
        return;
    // A folder's name takes the dialog into it.
    if (QFileInfo(QDir(directory()).filePath(name)).isDir())
        return;
    for (const ToneFileFormat other : {ToneFileFormat::Flac, ToneFileFormat::Wav}) {
        const QString otherSuffix = QLatin1Char('.') + suffixOf(other);
        if (name.endsWith(otherSuffix, Qt::CaseInsensitive)) {
            name.chop(otherSuffix.size());
            break;
        }
    }
    m_name->setText(name + wanted);
}
