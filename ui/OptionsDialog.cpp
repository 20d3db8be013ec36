#include "ui/OptionsDialog.h"

#include "ui/AppInfo.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>

namespace vorn::ui {

namespace {

QComboBox* makeCombo(QWidget* parent, const char* name, std::initializer_list<const char*> items)
{
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(name));
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    for (const char* item : items)
        combo->addItem(QString::fromLatin1(item));
    return combo;
}

QString stored(const COptions& options, const char* key)
{
    return QString::fromUtf8(options.getString(key).c_str());
}

} // namespace

void COptionsDialog::selectByPrefix(QComboBox* combo, const QString& text)
{
    const int index = combo->findText(text, Qt::MatchStartsWith); // not case-sensitive
    combo->setCurrentIndex(index);
    if (index < 0)
        combo->setEditText(QString());
}

COptionsDialog::COptionsDialog(COptions& options, QWidget* parent)
    : QDialog(parent)
    , m_options(options)
{
    setObjectName(QStringLiteral("optionsDialog"));
    setWindowTitle(QStringLiteral("Quintell Vorn 2 Options"));

    auto* processing = new QGroupBox(QStringLiteral("Processing"), this);

    // The pulldown row in its own untitled frame.
    auto* pulldownBox = new QGroupBox(processing);
    removePulldown = new QCheckBox(QStringLiteral("Remove pulldown"), pulldownBox);
    removePulldown->setObjectName(QStringLiteral("removePulldown"));
    frameRate = makeCombo(pulldownBox, "frameRate", {"23.976", "25", "29.97"});
    frameRate->setMinimumContentsLength(6);
    auto* rateLabel = new QLabel(QStringLiteral("target frame rate before add pulldown"), pulldownBox);
    addPulldown = new QCheckBox(QStringLiteral("Add pulldown"), pulldownBox);
    addPulldown->setObjectName(QStringLiteral("addPulldown"));
    auto* pulldownRow = new QHBoxLayout(pulldownBox);
    pulldownRow->addWidget(removePulldown);
    pulldownRow->addSpacing(8);
    pulldownRow->addWidget(frameRate);
    pulldownRow->addWidget(rateLabel);
    pulldownRow->addSpacing(8);
    pulldownRow->addWidget(addPulldown);
    pulldownRow->addStretch();

    auto* formatBox = new QGroupBox(QStringLiteral("Format Conversion"), processing);
    frameSize = makeCombo(formatBox, "frameSize",
                          {FrameSizeText::NoConversion, FrameSizeText::To1080, FrameSizeText::To720,
                           FrameSizeText::ToNtsc50, FrameSizeText::ToPal50, FrameSizeText::ToNtsc25,
                           FrameSizeText::ToPal25});
    frameSize->setMinimumContentsLength(34);
    rotate = new QCheckBox(QStringLiteral("Rotate 180"), formatBox);
    rotate->setObjectName(QStringLiteral("rotate"));
    reduceNoise = new QCheckBox(QStringLiteral("Reduce Noise"), formatBox);
    reduceNoise->setObjectName(QStringLiteral("reduceNoise"));
    auto* formatLayout = new QHBoxLayout(formatBox);
    formatLayout->addWidget(frameSize);
    formatLayout->addSpacing(12);
    formatLayout->addWidget(rotate);
    formatLayout->addWidget(reduceNoise);
    formatLayout->addStretch();

    auto* cadenceBox = new QGroupBox(QStringLiteral("60i Add Pulldown Preferences"), processing);
    add32 = new QRadioButton(QStringLiteral("Add 3:2 pulldown"), cadenceBox);
    add32->setObjectName(QStringLiteral("add32"));
    addAdvanced = new QRadioButton(QStringLiteral("Add 2:3:3:2 pulldown"), cadenceBox);
    addAdvanced->setObjectName(QStringLiteral("addAdvanced"));
    // Managed by hand: a click toggles the button and sets the other to the opposite.
    add32->setAutoExclusive(false);
    addAdvanced->setAutoExclusive(false);
    auto* cadenceLayout = new QHBoxLayout(cadenceBox);
    cadenceLayout->addWidget(add32);
    cadenceLayout->addSpacing(24);
    cadenceLayout->addWidget(addAdvanced);
    cadenceLayout->addStretch();

    showFrames = new QCheckBox(QStringLiteral("Show decoded frames"), processing);
    showFrames->setObjectName(QStringLiteral("showFrames"));
    frameScale = makeCombo(processing, "frameScale", {"Full scale", "Half scale", "Quarter scale"});
    frameScale->setMinimumContentsLength(14);
    auto* previewRow = new QHBoxLayout;
    previewRow->addWidget(showFrames);
    previewRow->addWidget(frameScale);
    previewRow->addStretch();

    auto* processingLayout = new QVBoxLayout(processing);
    processingLayout->addWidget(pulldownBox);
    processingLayout->addWidget(formatBox);
    processingLayout->addWidget(cadenceBox);
    processingLayout->addLayout(previewRow);

    auto* cardBox = new QGroupBox(QStringLiteral("Card Image"), this);
    cardSize = makeCombo(cardBox, "cardSize", {"Unlimited", "4 GB", "8 GB", "16 GB", "32 GB", "64 GB"});
    cardSize->setMinimumContentsLength(10);
    auto* cardLayout = new QHBoxLayout(cardBox);
    cardLayout->addWidget(new QLabel(QStringLiteral("Limit Card Size To:"), cardBox));
    cardLayout->addWidget(cardSize);
    cardLayout->addStretch();

    auto* destBox = new QGroupBox(QStringLiteral("Destination"), this);
    destination = new QLabel(QStringLiteral("[Unknown]"), destBox);
    destination->setObjectName(QStringLiteral("destination"));
    destination->setTextInteractionFlags(Qt::TextSelectableByMouse);
    destination->setMinimumWidth(260);
    destination->setWordWrap(true);
    selectFolder = new QPushButton(QStringLiteral("Select Folder..."), destBox);
    selectFolder->setObjectName(QStringLiteral("selectFolder"));
    auto* destLayout = new QHBoxLayout(destBox);
    destLayout->addWidget(destination, 1);
    destLayout->addWidget(selectFolder);

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setObjectName(QStringLiteral("ok"));
    okButton->setDefault(true);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton->setObjectName(QStringLiteral("cancel"));
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addStretch();
    buttonRow->addWidget(okButton);
    buttonRow->addWidget(cancelButton);

    auto* lowerRow = new QHBoxLayout;
    lowerRow->addWidget(cardBox);
    lowerRow->addWidget(destBox, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(processing);
    layout->addLayout(lowerRow);
    layout->addLayout(buttonRow);

    // Initial state from the options.
    destination->setText(stored(options, OptionKey::DestinationFolder));
    addPulldown->setChecked(options.getBool(OptionKey::AddPulldown));
    removePulldown->setChecked(options.getBool(OptionKey::RemovePulldown));
    add32->setChecked(options.getBool(OptionKey::Add32));
    addAdvanced->setChecked(options.getBool(OptionKey::AddAdvanced));
    reduceNoise->setChecked(options.getBool(OptionKey::ReduceNoise));
    rotate->setChecked(options.getBool(OptionKey::Rotation));
    showFrames->setChecked(options.getBool(OptionKey::ShowFrames));
    selectByPrefix(frameRate, stored(options, OptionKey::DesiredFrameRate));
    selectByPrefix(frameSize, stored(options, OptionKey::DesiredFrameSize));
    selectByPrefix(frameScale, stored(options, OptionKey::FrameScale));
    const int gigabytes = options.getCardSize();
    const QString cardText = gigabytes == 0 ? QStringLiteral("Unlimited") : QStringLiteral("%1 GB").arg(gigabytes);
    const int cardIndex = cardSize->findText(cardText, Qt::MatchFixedString);
    cardSize->setCurrentIndex(cardIndex);
    // A size that is not offered is shown as typed, so OK keeps the limit.
    if (cardIndex < 0)
        cardSize->setEditText(cardText);

    connect(add32, &QRadioButton::clicked, this, [this] { addAdvanced->setChecked(!add32->isChecked()); });
    connect(addAdvanced, &QRadioButton::clicked, this, [this] { add32->setChecked(!addAdvanced->isChecked()); });
    connect(addPulldown, &QCheckBox::clicked, this, [this] { frameRate->setEnabled(true); });
    connect(removePulldown, &QCheckBox::clicked, this, [this] { frameRate->setEnabled(true); });
    connect(selectFolder, &QPushButton::clicked, this, [this] { selectDestination(); });
    connect(okButton, &QPushButton::clicked, this, &COptionsDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &COptionsDialog::reject);

    chooseFolder = [this](const QString& current) {
        QFileDialog dialog(this, QStringLiteral("Select output folder for MXF files."), current);
        dialog.setFileMode(QFileDialog::Directory);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().first();
    };
}

void COptionsDialog::selectDestination()
{
    if (!chooseFolder)
        return;
    const QString chosen = chooseFolder(destination->text());
    if (!chosen.isEmpty())
        destination->setText(chosen);
}

void COptionsDialog::accept()
{
    auto put = [this](const char* key, const QString& value) {
        const QByteArray bytes = value.toUtf8();
        m_options.setString(key, std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
    };
    auto putBool = [this](const char* key, bool on) { m_options.setBool(key, on); };

    put(OptionKey::DestinationFolder, destination->text());
    put(OptionKey::DesiredFrameRate, frameRate->currentText());
    put(OptionKey::DesiredFrameSize, frameSize->currentText());
    put(OptionKey::FrameScale, frameScale->currentText());
    const QString card = cardSize->currentText();
    put(OptionKey::CardSize, card.compare(QLatin1String("Unlimited"), Qt::CaseInsensitive) == 0 ? QStringLiteral("0") : card);
    putBool(OptionKey::AddPulldown, addPulldown->isChecked());
    putBool(OptionKey::RemovePulldown, removePulldown->isChecked());
    putBool(OptionKey::Rotation, rotate->isChecked());
    putBool(OptionKey::ReduceNoise, reduceNoise->isChecked());
    putBool(OptionKey::ShowFrames, showFrames->isChecked());
    putBool(OptionKey::Add32, add32->isChecked());
    putBool(OptionKey::AddAdvanced, addAdvanced->isChecked());
    saveAndTell(m_options);
    QDialog::accept();
}

} // namespace vorn::ui
