#include "export/CDlgProgress.h"

#include "export/ExportCore.h"

#include <QFont>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>

CDlgProgress::CDlgProgress(QWidget* parent) : QWidget(parent), m_ui(new Ui)
{
    setObjectName(QStringLiteral("CDlgProgress"));
    resize(500, 150);
    setMinimumSize(QSize(500, 150));
    setMaximumSize(QSize(500, 150));

    const QFont font(QStringLiteral("宋体"), 10);

    m_ui->progressBar = new QProgressBar(this);
    m_ui->progressBar->setObjectName(QStringLiteral("progressBar"));
    m_ui->progressBar->setGeometry(QRect(10, 20, 491, 31));
    m_ui->progressBar->setRange(0, 100);
    m_ui->progressBar->setValue(0);

    m_ui->btnClose = new QPushButton(this);
    m_ui->btnClose->setObjectName(QStringLiteral("btnClose"));
    m_ui->btnClose->setGeometry(QRect(210, 100, 75, 31));
    m_ui->btnClose->setFont(font);

    m_ui->labelUseTime = new QLabel(this);
    m_ui->labelUseTime->setObjectName(QStringLiteral("labelUseTime"));
    m_ui->labelUseTime->setGeometry(QRect(50, 60, 161, 31));
    m_ui->labelUseTime->setFont(font);

    m_ui->labelRemainTime = new QLabel(this);
    m_ui->labelRemainTime->setObjectName(QStringLiteral("labelRemainTime"));
    m_ui->labelRemainTime->setGeometry(QRect(260, 60, 201, 31));
    m_ui->labelRemainTime->setFont(font);

    setWindowTitle(tr("CorvoTKL"));
    m_ui->btnClose->setText(QStringLiteral("确定"));
    QMetaObject::connectSlotsByName(this);

    m_start.start();
}

CDlgProgress::~CDlgProgress() { delete m_ui; }

void CDlgProgress::on_btnClose_clicked()
{
    close();
    emit signalOver();
}

void CDlgProgress::slotSetValue(long long int totalSize, long long int inc)
{
    const qint64 secs = m_start.elapsed() / 1000;
    m_ui->labelUseTime->setText(ExportCore::elapsedText(secs));
    m_ui->labelRemainTime->setText(ExportCore::remainingText(secs, totalSize, inc));
    m_ui->progressBar->setValue(ExportCore::percentOf(totalSize, inc));
}
