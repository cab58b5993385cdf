// The real save dialog behind the dialog seam.
#include "app/AppSetup.h"
#include "app/Dialogs.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

// A name typed without an extension comes back with the default suffix.
TEST(SaveDialog, NameWithoutExtensionGetsTheDefaultSuffix)
{
    QTemporaryDir dir;
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QTimer::singleShot(0, [] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        dialog->findChild<QLineEdit*>("fileNameEdit")->setText("m312");
        QMetaObject::invokeMethod(dialog, "accept");
    });
    const QString path = Dialogs().getSaveFileName(nullptr, "保存", dir.path(), "Video files(*.TKL)", "TKL");
    EXPECT_EQ(path, dir.filePath("m312.TKL"));
}

// Qt's own texts (file dialogs, standard buttons) speak the window's language.
TEST(StandardDialogs, SpeakChinese)
{
    corvoInitApplication();
    QDialogButtonBox box(QDialogButtonBox::Cancel | QDialogButtonBox::Save);
    EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text(), QString("取消"));
    QFileDialog dialog;
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    EXPECT_EQ(dialog.labelText(QFileDialog::Accept), QString("保存(&S)")) << qPrintable(dialog.labelText(QFileDialog::Accept));
}
