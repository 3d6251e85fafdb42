#include "installdialog.h"
#include "output_capture.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

class TestInstallDialog : public QObject
{
    Q_OBJECT

  private:
    InstallDialog dialog{"Mac"};

    QWidget *widgetAt(int position) { return dialog.layout()->itemAt(position)->widget(); }
    QLineEdit *edit(int position) { return qobject_cast<QLineEdit *>(widgetAt(position)); }

  private slots:
    void layout()
    {
        QCOMPARE(dialog.windowTitle(), QString("Setup Device"));
        QCOMPARE(dialog.size(), QSize(300, 120));
        QVERIFY(!dialog.isModal());
        auto *box = qobject_cast<QVBoxLayout *>(dialog.layout());
        QVERIFY(box != nullptr);
        QCOMPARE(box->contentsMargins(), QMargins(10, 10, 10, 10));
        QCOMPARE(box->count(), 6);

        const char *texts[] = {
            "Mac",  "Enter new IP", "Enter new netmask", "DHCP", "Enter file to be uploaded",
            "Setup"};
        const char *classes[] = {"QLabel",    "QLineEdit",      "QLineEdit",
                                 "QCheckBox", "dClickLineEdit", "QPushButton"};
        for (int i = 0; i < box->count(); ++i) {
            QWidget *widget = widgetAt(i);
            QCOMPARE(widget->metaObject()->className(), classes[i]);
            QCOMPARE(widget->property("text").toString(), QString(texts[i]));
            QCOMPARE(box->stretch(i), i);
            // The prompts are the fields' contents, not placeholder hints.
            if (auto *line = qobject_cast<QLineEdit *>(widget))
                QVERIFY(line->placeholderText().isEmpty());
        }
        QVERIFY(!qobject_cast<QCheckBox *>(widgetAt(3))->isChecked());
    }

    // A field still showing its prompt asks for nothing.
    void fields_data()
    {
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<QStringList>("read");
        const QStringList prompts = {"Enter new IP", "Enter new netmask",
                                     "Enter file to be uploaded"};
        QTest::newRow("prompts") << prompts << QStringList{"", "", ""};
        QTest::newRow("typed") << QStringList{"192.0.2.5", " 255.255.255.0 ", "/tmp/image"}
                               << QStringList{"192.0.2.5", "255.255.255.0", "/tmp/image"};
    }

    void fields()
    {
        QFETCH(QStringList, typed);
        QFETCH(QStringList, read);
        const int positions[] = {1, 2, 4};
        for (int i = 0; i < 3; ++i)
            edit(positions[i])->setText(typed[i]);
        auto *dhcp = qobject_cast<QCheckBox *>(widgetAt(3));
        for (bool checked : {false, true}) {
            dhcp->setChecked(checked);
            const SetupFields fields = dialog.fields();
            QCOMPARE((QStringList{fields.ip, fields.netmask, fields.file}), read);
            QCOMPARE(fields.dhcp, checked);
        }
        dhcp->setChecked(false);
        const char *prompts[] = {"Enter new IP", "Enter new netmask", "Enter file to be uploaded"};
        for (int i = 0; i < 3; ++i)
            edit(positions[i])->setText(prompts[i]);
    }

    void setMacChangesOnlyTheLabel()
    {
        edit(1)->setText("typed");
        dialog.setMac("0:a:95:1:2b:ff");
        QCOMPARE(qobject_cast<QLabel *>(widgetAt(0))->text(), QString("0:a:95:1:2b:ff"));
        QCOMPARE(edit(1)->text(), QString("typed"));
        QCOMPARE(edit(2)->text(), QString("Enter new netmask"));
    }

    void setupAcceptsEscapeRejects()
    {
        dialog.show();
        QTest::mouseClick(widgetAt(5), Qt::LeftButton);
        QVERIFY(dialog.isHidden());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));

        dialog.show();
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(dialog.isHidden());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    void doubleClickInField_data()
    {
        QTest::addColumn<int>("position");
        QTest::addColumn<bool>("pick");
        QTest::addColumn<bool>("chooser");
        // Cancelling first: the chooser then still starts in "/".
        QTest::newRow("file field, cancel") << 4 << false << true;
        QTest::newRow("file field, pick") << 4 << true << true;
        QTest::newRow("IP field") << 1 << false << false;
        QTest::newRow("netmask field") << 2 << false << false;
    }

    void doubleClickInField()
    {
        QFETCH(int, position);
        QFETCH(bool, pick);
        QFETCH(bool, chooser);
        QTemporaryFile image;
        QVERIFY(image.open());
        QLineEdit *field = edit(position);
        field->setText("before");
        dialog.show();

        // Checked after the chooser is closed: a failed check inside would
        // leave it open.
        QString directory;
        QStringList filters;
        QTimer::singleShot(0, this, [&] {
            auto *files = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (files == nullptr)
                return;
            directory = files->directory().path();
            filters = files->nameFilters();
            // As a user types the path into the chooser's name field.
            if (pick)
                files->findChild<QLineEdit *>("fileNameEdit")->setText(image.fileName());
            QDialog *chooserDialog = files;
            pick ? chooserDialog->accept() : chooserDialog->reject();
        });
        OutputCapture out(STDOUT_FILENO);
        QTest::mouseDClick(field, Qt::LeftButton, {}, QPoint(5, field->height() / 2));
        QCoreApplication::processEvents();

        QCOMPARE(!directory.isEmpty(), chooser);
        if (chooser) {
            QCOMPARE(directory, QString("/"));
            QCOMPARE(filters, QStringList("*"));
        }
        QCOMPARE(out.count("File edit doubleClicked\n"), chooser ? 1 : 0);
        QCOMPARE(field->text(), pick ? image.fileName() : QString("before"));
        if (chooser)
            QVERIFY(!field->hasSelectedText());
        dialog.hide();
    }
};

QTEST_MAIN(TestInstallDialog)
#include "tst_installdialog.moc"
