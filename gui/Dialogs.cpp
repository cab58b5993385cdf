#include "gui/Dialogs.h"

#include <QRegularExpression>

QString Dialogs::getExistingDirectory(QWidget* parent, const QString& caption, const QString& dir,
                                      QFileDialog::Options options)
{
    return QFileDialog::getExistingDirectory(parent, caption, dir, options);
}

QString Dialogs::getOpenFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter)
{
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QString Dialogs::getSaveFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter,
                                 const QString& defaultSuffix)
{
    // The static function has no default suffix; this is what it does otherwise.
    QFileDialog dialog(parent, caption, dir, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(defaultSuffix);
    // A name typed without an extension takes that of the chosen filter
    // ("MP4 video(*.mp4)"), the default suffix when the filter names none.
    if (!defaultSuffix.isEmpty()) {
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, defaultSuffix](const QString& chosen) {
            const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("\\(([^)]*)\\)")).match(chosen);
            const QString first = (m.hasMatch() ? m.captured(1) : chosen).split(QLatin1Char(' '), Qt::SkipEmptyParts).value(0);
            const bool plain = first.startsWith(QLatin1String("*.")) && first.indexOf(QLatin1Char('*'), 1) < 0
                               && !first.contains(QLatin1Char('?'));
            dialog.setDefaultSuffix(plain ? first.mid(2) : defaultSuffix);
        });
    }
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

QMessageBox::StandardButton Dialogs::information(QWidget* parent, const QString& title, const QString& text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton defaultButton)
{
    return QMessageBox::information(parent, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton Dialogs::question(QWidget* parent, const QString& title, const QString& text,
                                              QMessageBox::StandardButtons buttons,
                                              QMessageBox::StandardButton defaultButton)
{
    return QMessageBox::question(parent, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton Dialogs::warning(QWidget* parent, const QString& title, const QString& text,
                                             QMessageBox::StandardButtons buttons,
                                             QMessageBox::StandardButton defaultButton)
{
    return QMessageBox::warning(parent, title, text, buttons, defaultButton);
}

namespace {
Dialogs g_real;
Dialogs* g_current = &g_real;
} // namespace

Dialogs& dialogs() { return *g_current; }

void setDialogs(Dialogs* seam) { g_current = seam ? seam : &g_real; }
