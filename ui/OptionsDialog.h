// The Options dialog: edits the settings of the options store. It reads the
// store when it opens; OK writes every control back and saves the file; Cancel
// changes nothing.
#pragma once

#include "foundation/Options.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include <functional>

namespace vorn::ui {

class COptionsDialog : public QDialog {
    Q_OBJECT
public:
    explicit COptionsDialog(COptions& options, QWidget* parent = nullptr);

    // Chooses the destination folder: gets the current folder, returns the
    // chosen one or an empty text when the user cancelled. Defaults to the
    // desktop's folder chooser; tests replace it.
    std::function<QString(const QString& current)> chooseFolder;

    // Selects the first entry that begins with text, ignoring case; with none,
    // the list shows no selection and an empty field.
    static void selectByPrefix(QComboBox* combo, const QString& text);

    QCheckBox* removePulldown = nullptr;
    QComboBox* frameRate = nullptr;
    QCheckBox* addPulldown = nullptr;
    QComboBox* frameSize = nullptr;
    QCheckBox* rotate = nullptr;
    QCheckBox* reduceNoise = nullptr;
    QRadioButton* add32 = nullptr;
    QRadioButton* addAdvanced = nullptr;
    QCheckBox* showFrames = nullptr;
    QComboBox* frameScale = nullptr;
    QComboBox* cardSize = nullptr;
    QLabel* destination = nullptr;
    QPushButton* selectFolder = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;

public slots:
    void accept() override;

private:
    void selectDestination();
    COptions& m_options;
};

} // namespace vorn::ui
