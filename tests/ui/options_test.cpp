// The Options dialog: initial state from the store, select-by-prefix, the
// cadence buttons, and what OK and Cancel store.
#include "foundation/Options.h"
#include "ui/OptionsDialog.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using vorn::ui::COptionsDialog;

class OptionsDialogTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<COptions> m_options;

    QByteArray savedFile() const
    {
        QFile f(m_path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString value(const char* key) const { return QString::fromUtf8(m_options->getString(key).c_str()); }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("options.txt"));
        QFile::remove(m_path);
        m_options = std::make_unique<COptions>();
        m_options->save(m_path.toUtf8().constData()); // remembers the path
        QFile::remove(m_path);
    }

    void initialStateAndRoundTripOfEveryControl()
    {
        COptions& o = *m_options;
        o.setString(OptionKey::DestinationFolder, "/media/out");
        o.setBool(OptionKey::AddPulldown, true);
        o.setBool(OptionKey::RemovePulldown, false);
        o.setBool(OptionKey::Add32, false);
        o.setBool(OptionKey::AddAdvanced, true);
        o.setBool(OptionKey::ReduceNoise, true);
        o.setBool(OptionKey::Rotation, false);
        o.setBool(OptionKey::ShowFrames, true);
        o.setString(OptionKey::DesiredFrameRate, "25");
        o.setString(OptionKey::DesiredFrameSize, "Convert all to NTSC DVCPRO50");
        o.setString(OptionKey::FrameScale, "Quarter scale");
        o.setString(OptionKey::CardSize, "8 GB");
        o.setString(OptionKey::Remove32, "1");
        o.setString(OptionKey::RemoveAdvanced, "1");
        o.setString(OptionKey::BreadCrumbs, "1");

        COptionsDialog d(o);
        QCOMPARE(d.windowTitle(), QStringLiteral("Quintell Vorn 2 Options"));
        QCOMPARE(d.destination->text(), QStringLiteral("/media/out"));
        QVERIFY(d.addPulldown->isChecked());
        QVERIFY(!d.removePulldown->isChecked());
        QVERIFY(!d.add32->isChecked());
        QVERIFY(d.addAdvanced->isChecked());
        QVERIFY(d.reduceNoise->isChecked());
        QVERIFY(!d.rotate->isChecked());
        QVERIFY(d.showFrames->isChecked());
        QCOMPARE(d.frameRate->currentText(), QStringLiteral("25"));
        QCOMPARE(d.frameSize->currentText(), QStringLiteral("Convert all to NTSC DVCPRO50"));
        QCOMPARE(d.frameScale->currentText(), QStringLiteral("Quarter scale"));
        QCOMPARE(d.cardSize->currentText(), QStringLiteral("8 GB"));

        // Change every control, the folder through the chooser.
        d.chooseFolder = [](const QString& current) {
            return current == QStringLiteral("/media/out") ? QStringLiteral("/srv/cards") : QString();
        };
        d.selectFolder->click();
        QCOMPARE(d.destination->text(), QStringLiteral("/srv/cards"));
        d.addPulldown->click();
        d.removePulldown->click();
        d.add32->click();
        d.reduceNoise->click();
        d.rotate->click();
        d.showFrames->click();
        d.frameRate->setEditText(QStringLiteral("24")); // typed, not in the list
        d.frameSize->setCurrentIndex(d.frameSize->findText(QStringLiteral("Convert all to 1280 x 720 DVCPROHD")));
        d.frameScale->setCurrentIndex(0);
        d.cardSize->setCurrentIndex(d.cardSize->findText(QStringLiteral("32 GB")));
        d.okButton->click();
        QCOMPARE(d.result(), int(QDialog::Accepted));

        QCOMPARE(value(OptionKey::DestinationFolder), QStringLiteral("/srv/cards"));
        QCOMPARE(value(OptionKey::AddPulldown), QStringLiteral("0"));
        QCOMPARE(value(OptionKey::RemovePulldown), QStringLiteral("1"));
        QCOMPARE(value(OptionKey::Add32), QStringLiteral("1"));
        QCOMPARE(value(OptionKey::AddAdvanced), QStringLiteral("0"));
        QCOMPARE(value(OptionKey::ReduceNoise), QStringLiteral("0"));
        QCOMPARE(value(OptionKey::Rotation), QStringLiteral("1"));
        QCOMPARE(value(OptionKey::ShowFrames), QStringLiteral("0"));
        QCOMPARE(value(OptionKey::DesiredFrameRate), QStringLiteral("24"));
        QCOMPARE(value(OptionKey::DesiredFrameSize), QStringLiteral("Convert all to 1280 x 720 DVCPROHD"));
        QCOMPARE(value(OptionKey::FrameScale), QStringLiteral("Full scale"));
        QCOMPARE(value(OptionKey::CardSize), QStringLiteral("32 GB"));
        QCOMPARE(o.getCardSize(), 32);
        // Keys the dialog does not show keep their values.
        QCOMPARE(value(OptionKey::Remove32), QStringLiteral("1"));
        QCOMPARE(value(OptionKey::RemoveAdvanced), QStringLiteral("1"));
        QCOMPARE(value(OptionKey::BreadCrumbs), QStringLiteral("1"));

        // OK saved the file with the new values.
        const QByteArray file = savedFile();
        QVERIFY(file.contains("DestinationFolder = /srv/cards\n"));
        QVERIFY(file.contains("CardSize = 32 GB\n"));
        QVERIFY(file.contains("DesiredFrameRate = 24\n"));
    }

    void defaultsConfirmedUnchanged()
    {
        // The default "Half size" matches no preview entry: the list shows no
        // selection and OK stores an empty text; "16" shows as "16 GB".
        COptionsDialog d(*m_options);
        QCOMPARE(d.frameScale->currentIndex(), -1);
        QCOMPARE(d.frameScale->currentText(), QString());
        QCOMPARE(d.cardSize->currentText(), QStringLiteral("16 GB"));
        QCOMPARE(d.frameRate->currentText(), QStringLiteral("23.976"));
        QCOMPARE(d.frameSize->currentText(), QStringLiteral("no conversion"));
        d.okButton->click();
        QCOMPARE(value(OptionKey::FrameScale), QString());
        QCOMPARE(value(OptionKey::CardSize), QStringLiteral("16 GB"));
        QCOMPARE(m_options->getCardSize(), 16);
    }

    void cancelStoresNothing()
    {
        m_options->setString(OptionKey::DestinationFolder, "/media/out");
        COptionsDialog d(*m_options);
        d.chooseFolder = [](const QString&) { return QStringLiteral("/elsewhere"); };
        d.selectFolder->click();
        d.rotate->click();
        d.cardSize->setCurrentIndex(0);
        d.cancelButton->click();
        QCOMPARE(d.result(), int(QDialog::Rejected));
        QCOMPARE(value(OptionKey::DestinationFolder), QStringLiteral("/media/out"));
        QCOMPARE(value(OptionKey::Rotation), QStringLiteral("0"));
        QCOMPARE(value(OptionKey::CardSize), QStringLiteral("16"));
        QVERIFY(!QFile::exists(m_path));
    }

    void folderChooserCancelled()
    {
        m_options->setString(OptionKey::DestinationFolder, "/media/out");
        COptionsDialog d(*m_options);
        d.chooseFolder = [](const QString&) { return QString(); };
        d.selectFolder->click();
        QCOMPARE(d.destination->text(), QStringLiteral("/media/out"));
    }

    void selectByPrefix_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("scale exact") << QByteArray(OptionKey::FrameScale) << "Half scale" << "Half scale";
        QTest::newRow("scale prefix, other case") << QByteArray(OptionKey::FrameScale) << "quar" << "Quarter scale";
        QTest::newRow("scale default matches nothing") << QByteArray(OptionKey::FrameScale) << "Half size" << "";
        QTest::newRow("scale empty selects first") << QByteArray(OptionKey::FrameScale) << "" << "Full scale";
        QTest::newRow("rate first of two") << QByteArray(OptionKey::DesiredFrameRate) << "2" << "23.976";
        QTest::newRow("rate 29") << QByteArray(OptionKey::DesiredFrameRate) << "29" << "29.97";
        QTest::newRow("rate typed earlier") << QByteArray(OptionKey::DesiredFrameRate) << "24" << "";
        QTest::newRow("size prefix") << QByteArray(OptionKey::DesiredFrameSize) << "convert all to pal" << "Convert all to PAL DVCPRO50";
        QTest::newRow("size longer than entry") << QByteArray(OptionKey::DesiredFrameSize) << "no conversion at all" << "";
        QTest::newRow("card 0") << QByteArray(OptionKey::CardSize) << "0" << "Unlimited";
        QTest::newRow("card number") << QByteArray(OptionKey::CardSize) << "64" << "64 GB";
        QTest::newRow("card with unit") << QByteArray(OptionKey::CardSize) << "4 GB" << "4 GB";
        QTest::newRow("card not offered keeps its size") << QByteArray(OptionKey::CardSize) << "12" << "12 GB";
        QTest::newRow("card not a number") << QByteArray(OptionKey::CardSize) << "lots" << "Unlimited";
    }
    void selectByPrefix()
    {
        QFETCH(QByteArray, key);
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        m_options->setString(key.constData(), stored.toStdString());
        COptionsDialog d(*m_options);
        QComboBox* combo = key == OptionKey::FrameScale         ? d.frameScale
                           : key == OptionKey::DesiredFrameRate ? d.frameRate
                           : key == OptionKey::DesiredFrameSize ? d.frameSize
                                                                : d.cardSize;
        QCOMPARE(combo->currentText(), shown);
        // Confirming stores what the list shows ("Unlimited" as "0").
        d.okButton->click();
        const QString expected = shown == QStringLiteral("Unlimited") ? QStringLiteral("0") : shown;
        QCOMPARE(value(key.constData()), expected);
    }

    void cadenceButtons_data()
    {
        QTest::addColumn<bool>("add32");
        QTest::addColumn<bool>("advanced");
        QTest::addColumn<bool>("clickAdvanced");
        QTest::addColumn<bool>("after32");
        QTest::addColumn<bool>("afterAdvanced");
        QTest::newRow("none, click 3:2") << false << false << false << true << false;
        QTest::newRow("none, click 2:3:3:2") << false << false << true << false << true;
        QTest::newRow("3:2 on, click it again") << true << false << false << false << true;
        QTest::newRow("3:2 on, click 2:3:3:2") << true << false << true << false << true;
        QTest::newRow("both from the file, click 2:3:3:2") << true << true << true << true << false;
    }
    void cadenceButtons()
    {
        QFETCH(bool, add32);
        QFETCH(bool, advanced);
        QFETCH(bool, clickAdvanced);
        QFETCH(bool, after32);
        QFETCH(bool, afterAdvanced);
        m_options->setBool(OptionKey::Add32, add32);
        m_options->setBool(OptionKey::AddAdvanced, advanced);
        COptionsDialog d(*m_options);
        QCOMPARE(d.add32->isChecked(), add32);
        QCOMPARE(d.addAdvanced->isChecked(), advanced);
        (clickAdvanced ? d.addAdvanced : d.add32)->click();
        QCOMPARE(d.add32->isChecked(), after32);
        QCOMPARE(d.addAdvanced->isChecked(), afterAdvanced);
        d.okButton->click();
        QCOMPARE(m_options->getBool(OptionKey::Add32), after32);
        QCOMPARE(m_options->getBool(OptionKey::AddAdvanced), afterAdvanced);
    }

    void pulldownClickEnablesFrameRate()
    {
        COptionsDialog d(*m_options);
        d.frameRate->setEnabled(false);
        d.removePulldown->click();
        QVERIFY(d.frameRate->isEnabled());
        d.frameRate->setEnabled(false);
        d.addPulldown->click();
        QVERIFY(d.frameRate->isEnabled());
    }
};

QTEST_MAIN(OptionsDialogTest)
#include "options_test.moc"
