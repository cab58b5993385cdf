#pragma once
// A recording stand-in for the modal boxes and file dialogs, for every GUI test.

#include "gui/Dialogs.h"

#include <QStringList>
#include <QVector>

struct DialogCall {
    QString kind; // "directory", "save", "information", "question", "warning"
    QWidget* parent = nullptr;
    QString caption;
    QString text; // start directory, filter, or message text
    QString dir;
    int options = 0; // file dialog options or buttons
    int defaultButton = 0;
    QString suffix; // a save dialog's default suffix
};

class FakeDialogs : public Dialogs {
public:
    FakeDialogs() { setDialogs(this); }
    ~FakeDialogs() override { setDialogs(nullptr); }

    QString directoryAnswer;
    QString saveAnswer;
    QMessageBox::StandardButton confirmAnswer = QMessageBox::Yes;
    QVector<DialogCall> calls;

    QString getExistingDirectory(QWidget* parent, const QString& caption, const QString& dir,
                                 QFileDialog::Options options) override
    {
        calls.append({"directory", parent, caption, QString(), dir, int(options), 0, QString()});
        return directoryAnswer;
    }
    QString getSaveFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter,
                            const QString& defaultSuffix) override
    {
        calls.append({"save", parent, caption, filter, dir, 0, 0, defaultSuffix});
        return saveAnswer;
    }
    QMessageBox::StandardButton information(QWidget* parent, const QString& title, const QString& text,
                                            QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton def) override
    {
        calls.append({"information", parent, title, text, QString(), int(buttons), int(def), QString()});
        return title == QStringLiteral("警告") ? confirmAnswer : QMessageBox::Ok;
    }
    QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::StandardButton def) override
    {
        calls.append({"question", parent, title, text, QString(), int(buttons), int(def), QString()});
        return confirmAnswer;
    }
    QMessageBox::StandardButton warning(QWidget* parent, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton def) override
    {
        calls.append({"warning", parent, title, text, QString(), int(buttons), int(def), QString()});
        return QMessageBox::Ok;
    }

    QStringList kinds() const
    {
        QStringList k;
        for (const DialogCall& c : calls)
            k << c.kind;
        return k;
    }
    // Texts of every message box shown so far.
    QStringList boxes() const
    {
        QStringList r;
        for (const DialogCall& c : calls)
            if (c.kind == "information" || c.kind == "question" || c.kind == "warning")
                r << c.text;
        return r;
    }
    // Texts of the result boxes ("提示 ") shown so far.
    QStringList results() const
    {
        QStringList r;
        for (const DialogCall& c : calls)
            if (c.kind == "information" && c.caption == QStringLiteral("提示 "))
                r << c.text;
        return r;
    }
};
