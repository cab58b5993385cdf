// The real save dialog behind the dialog seam.
#include "app/AppSetup.h"
#include "gui/Dialogs.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

// A name typed without an extension takes that of the chosen filter, else
// the default suffix; a name with one keeps it.
struct SaveCase {
    const char* typed;
    int filter; // index in the dialog's filter list
    const char* expected;
};
class SaveDialog : public ::testing::TestWithParam<SaveCase> {};

TEST_P(SaveDialog, SuffixFollowsTheNameThenTheFilter)
{
    QTemporaryDir dir;
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    const SaveCase c = GetParam();
    QTimer::singleShot(0, [c] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        auto* types = dialog->findChild<QComboBox*>("fileTypeCombo");
        // What a pick in the list emits; the dialog listens to the text.
        types->setCurrentIndex(c.filter);
        QMetaObject::invokeMethod(types, "activated", Q_ARG(int, c.filter));
        QMetaObject::invokeMethod(types, "activated", Q_ARG(QString, types->itemText(c.filter)));
        dialog->findChild<QLineEdit*>("fileNameEdit")->setText(c.typed);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    const QString path =
        Dialogs().getSaveFileName(nullptr, "保存", dir.path(), "Video files(*.TKL);;MP4 video(*.mp4)", "TKL");
    EXPECT_EQ(path, dir.filePath(c.expected));
}
INSTANTIATE_TEST_SUITE_P(Names, SaveDialog,
                         ::testing::Values(SaveCase{"m312", 0, "m312.TKL"}, SaveCase{"m312.mp4", 0, "m312.mp4"},
                                           SaveCase{"m312", 1, "m312.mp4"}, SaveCase{"m312.TKL", 1, "m312.TKL"}));

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
