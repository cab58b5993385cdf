#pragma once
// The small window every export shows: bar, time spent, time left, one button.
// Values arrive from the export thread through queued signals.

#include <QElapsedTimer>
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

class CDlgProgress : public QWidget {
    Q_OBJECT
public:
    explicit CDlgProgress(QWidget* parent = nullptr);
    ~CDlgProgress() override;

    struct Ui {
        QProgressBar* progressBar = nullptr;
        QPushButton* btnClose = nullptr;
        QLabel* labelUseTime = nullptr;
        QLabel* labelRemainTime = nullptr;
    };
    const Ui* ui() const { return m_ui; }

signals:
    void signalOver();

public slots:
    void on_btnClose_clicked();
    void slotSetValue(long long int totalSize, long long int inc);

private:
    Ui* m_ui = nullptr;
    // Monotonic, so an export running across midnight still shows true times.
    QElapsedTimer m_start;
};
