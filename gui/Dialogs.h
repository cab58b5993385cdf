#pragma once
// The one seam between commands and modal boxes. Production code calls Qt's
// static dialogs with exactly the arguments it is given; tests install a
// recording fake with setDialogs() and answer without any modal loop.
// Only the GUI thread may call these.

#include <QFileDialog>
#include <QMessageBox>
#include <QString>

class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual QString getExistingDirectory(QWidget* parent, const QString& caption, const QString& dir,
                                         QFileDialog::Options options);
    virtual QString getOpenFileName(QWidget* parent, const QString& caption, const QString& dir,
                                    const QString& filter);
    // defaultSuffix is added to a name typed without one, before the
    // dialog's own overwrite question, so that question covers the final name.
    virtual QString getSaveFileName(QWidget* parent, const QString& caption, const QString& dir,
                                    const QString& filter, const QString& defaultSuffix = QString());
    virtual QMessageBox::StandardButton information(QWidget* parent, const QString& title, const QString& text,
                                                    QMessageBox::StandardButtons buttons,
                                                    QMessageBox::StandardButton defaultButton);
    virtual QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton defaultButton);
    virtual QMessageBox::StandardButton warning(QWidget* parent, const QString& title, const QString& text,
                                                QMessageBox::StandardButtons buttons,
                                                QMessageBox::StandardButton defaultButton);
};

// The installed seam (the real Qt dialogs unless a test replaced them).
Dialogs& dialogs();
// Install a seam; nullptr restores the real one. The caller keeps ownership.
void setDialogs(Dialogs* seam);
