// The real save dialog behind the dialog seam.
#include "app/Dialogs.h"

#include <QApplication>
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
