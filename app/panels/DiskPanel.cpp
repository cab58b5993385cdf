// The disk dialog: a tree of the machine's disks and their partitions, plus
// the disk images given on the command line, with check boxes that turn
// into the scan targets.

#include "app/panels/DiskPanel.h"

#include "gui/Dialogs.h"
#include "disk/DiskInfo.h"
#include "disk/widget.h"

#include <QApplication>
#include <QDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Column 0 of an image row shows the path as given; the scan opens this
// absolute form, so a relative "sda" file is never taken for /dev/sda.
constexpr int kScanNameRole = Qt::UserRole + 1;

// With the tree's image background the style sheet leaves the check boxes
// no base colour: checked and unchecked both paint as black squares. The
// rows paint their boxes on white instead, the style sheet stays as it is.
class CheckBoxDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        for (QPalette::ColorRole role : {QPalette::Base, QPalette::Window, QPalette::Button})
            opt.palette.setColor(role, Qt::white);
        const QWidget* widget = opt.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
    }
};

QString gib(quint64 bytes)
{
    return QString::number(double(bytes) / 1073741824.0, 'g', 6) + QStringLiteral("G");
}

QString reasonText(int err)
{
    switch (err) {
    case ENOENT:
        return QStringLiteral("文件不存在");
    case EACCES:
    case EPERM:
        return QStringLiteral("没有读取权限");
    case EISDIR:
        return QStringLiteral("是一个目录");
    case ENODEV:
        return QStringLiteral("不是磁盘镜像文件或块设备");
    default:
        return QString::fromLocal8Bit(std::strerror(err));
    }
}

QString scanNameForImage(const QString& path)
{
    return QFileInfo(path).absoluteFilePath();
}

} // namespace

DiskPanel::DiskPanel(QWidget* window, const QStringList& imagePaths)
    : QObject(window), m_window(window), m_imagePaths(imagePaths)
{
    m_diskDialog = new QDialog(window);
    m_diskDialog->setObjectName(QStringLiteral("diskDialog"));
    m_diskDialog->resize(640, 490);
    m_diskDialog->setModal(true);
    m_diskDialog->setWindowTitle(QStringLiteral("选择磁盘"));
    m_diskDialog->setStyleSheet(QStringLiteral("QDialog{background:url(:/images/tree_section.png) repeat;}"));
    m_diskDialog->setWindowOpacity(0.97);

    m_diskStartButton = new QPushButton(QStringLiteral("开始"), m_diskDialog);
    m_diskStartButton->setObjectName(QStringLiteral("diskStartButton"));
    m_diskStartButton->resize(88, 44);
    m_diskStartButton->setMaximumWidth(98);
    m_diskStartButton->setMinimumHeight(36);
    m_diskStartButton->setStyleSheet(QStringLiteral(
        " QPushButton{background-color:transparent;border-image:url(:/images/start.png) no-repeat; "
        "color:white;border:0px}"));
    connect(m_diskStartButton, &QPushButton::clicked, this, &DiskPanel::startPressed);

    m_diskTree = new QTreeWidget(m_diskDialog);
    m_diskTree->setObjectName(QStringLiteral("diskTree"));
    m_diskTree->setStyleSheet(QStringLiteral(
        "QTreeWidget{font-family: arial, sans-serif;background:url(:/images/tree_bg.png) repeat;}"));
    m_diskTree->header()->setStyleSheet(QStringLiteral(
        " QHeaderView::section{background:url(:/images/tree_section.png) repeat;height:40px;color:white}"));
    m_diskTree->setIconSize(QSize(30, 39));
    m_diskTree->setMinimumHeight(38);
    // Long image paths: keep both ends readable; the full path is the tooltip.
    m_diskTree->setTextElideMode(Qt::ElideMiddle);
    m_diskTree->setItemDelegate(new CheckBoxDelegate(m_diskTree));
    connect(m_diskTree, &QTreeWidget::itemClicked, this, &DiskPanel::treeItemClicked);
    connect(m_diskTree, &QTreeWidget::itemChanged, this, &DiskPanel::treeItemChanged);

    auto* layout = new QVBoxLayout(m_diskDialog);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_diskTree);
    auto* row = new QHBoxLayout;
    row->addWidget(m_diskStartButton, 1);
    layout->addLayout(row);
    layout->addSpacing(20);

    checkImagePaths();
}

// Each command-line path is checked once; the ones that cannot be read are
// named in one warning when the event loop first runs (over the shown window).
void DiskPanel::checkImagePaths()
{
    QStringList problems;
    for (const QString& path : m_imagePaths) {
        qint64 size = 0;
        const int err = ProbeSourceImage(path, &size);
        if (err == 0) {
            m_readableImages.append(path);
        } else {
            std::printf("image %s: %s\n", QFile::encodeName(path).constData(), std::strerror(err));
            problems.append(QStringLiteral("%1（%2）").arg(path, reasonText(err)));
        }
    }
    if (problems.isEmpty())
        return;
    const QString text = QStringLiteral("以下磁盘镜像无法读取，已忽略：\n") + problems.join(QLatin1Char('\n'));
    QTimer::singleShot(0, this, [this, text] {
        dialogs().warning(m_window, QStringLiteral("警告"), text, QMessageBox::Ok, QMessageBox::NoButton);
    });
}

void DiskPanel::addImageRows()
{
    bool any = false;
    for (const QString& path : m_readableImages) {
        qint64 size = 0;
        const int err = ProbeSourceImage(path, &size);
        if (err != 0) {
            // Gone or locked since start: leave it out of this listing.
            std::printf("image %s: %s\n", QFile::encodeName(path).constData(), std::strerror(err));
            continue;
        }
        auto* item = new QTreeWidgetItem(QStringList{path, QString::number(size), gib(quint64(size))});
        item->setData(0, kScanNameRole, scanNameForImage(path));
        item->setToolTip(0, path);
        item->setIcon(0, QIcon(QStringLiteral(":/images/tree_root.png")));
        item->setCheckState(0, Qt::Unchecked);
        m_diskTree->addTopLevelItem(item);
        any = true;
    }
    if (!any)
        return;
    m_diskTree->setMinimumHeight(60);
    // Widen the name column for paths, but keep every column in view: what
    // does not fit is elided in the middle and shown whole in the tooltip.
    m_diskTree->resizeColumnToContents(0);
    const int others = m_diskTree->columnWidth(2) + m_diskTree->columnWidth(3) + 160;
    const int room = m_diskDialog->width() - 2 * m_diskTree->frameWidth() - others;
    m_diskTree->setColumnWidth(0, qBound(200, m_diskTree->columnWidth(0), qMax(200, room)));
}

// Disks exist but not one could be opened for reading: say why and what to
// do, rather than open an empty tree or nothing at all. With other rows to
// show, once is enough; with none, every attempt deserves an answer.
bool DiskPanel::showUnreadableDisksNotice(bool haveOtherRows)
{
    const DiskEnumSummary s = lastDiskEnumSummary();
    if (s.candidateDisks == 0 || !diskList().isEmpty())
        return false;
    if (haveOtherRows && m_unreadableNoticeShown)
        return false;
    m_unreadableNoticeShown = true;
    const QString device = QString::fromLocal8Bit(s.firstUnreadable);
    const QString why = reasonText(s.firstError);
    QString text;
    if (::geteuid() != 0) {
        text = QStringLiteral("没有管理员权限，无法读取本机的磁盘（/dev/%1：%2）。\n\n"
                              "请以管理员身份启动本程序，例如在终端中运行：\n"
                              "    sudo corvotkl\n"
                              "或\n"
                              "    pkexec env DISPLAY=$DISPLAY XAUTHORITY=$XAUTHORITY corvotkl\n\n"
                              "也可以把磁盘镜像文件作为参数启动：corvotkl 镜像文件")
                   .arg(device, why);
    } else {
        text = QStringLiteral("本机的磁盘都无法以只读方式打开（/dev/%1：%2）。\n"
                              "程序已有管理员权限，是系统拒绝了访问。\n\n"
                              "可以把磁盘镜像文件作为参数启动本程序：corvotkl 镜像文件")
                   .arg(device, why);
    }
    // A warning, not a tip: the disks the user came to scan are out of reach.
    dialogs().warning(m_window, QStringLiteral("提示 "), text, QMessageBox::Ok, QMessageBox::NoButton);
    return true;
}

void DiskPanel::selectDisk()
{
    BuildDiskList();

    m_diskTree->clear();
    m_diskTree->setHeaderLabels({QStringLiteral("     磁盘"), QString(), QStringLiteral("   容量 "),
                                 QStringLiteral("  剩余容量 "), QStringLiteral("仅扫描剩余容量?")});
    m_diskTree->setColumnWidth(0, 200);
    m_diskTree->setColumnWidth(3, 120);
    m_diskTree->setColumnWidth(4, 160);
    m_diskTree->expandAll();
    m_diskTree->hideColumn(1);

    const QList<HardDiskSerialInfo>& disks = diskList();
    for (const HardDiskSerialInfo& disk : disks) {
        std::printf("disk count %d\n", int(disks.size()));
        auto* item = new QTreeWidgetItem(QStringList{QString::fromLocal8Bit(disk.deviceName),
                                                     QString::number(disk.diskSize), gib(disk.diskSize)});
        m_diskTree->setMinimumHeight(60);
        item->setIcon(0, QIcon(QStringLiteral(":/images/tree_root.png")));
        item->setCheckState(0, Qt::Unchecked);
        m_diskTree->addTopLevelItem(item);
        for (int i = 0; i < disk.partitionCount; ++i) {
            const LogicalDriveInfo& v = disk.partitions[size_t(i)];
            auto* child = new QTreeWidgetItem(QStringList{QString::fromLocal8Bit(v.name), QString::number(v.capacity),
                                                          gib(v.capacity), gib(v.freeSpace)});
            child->setIcon(0, QIcon(QStringLiteral(":/images/tree_child.png")));
            item->addChild(child);
            child->setCheckState(0, Qt::Unchecked);
            child->setCheckState(4, Qt::Unchecked);
        }
    }
    addImageRows();
    m_diskTree->expandAll();

    const bool haveRows = m_diskTree->topLevelItemCount() > 0;
    showUnreadableDisksNotice(haveRows);
    if (!haveRows)
        return;
    m_diskDialog->show();
    m_diskDialog->raise();
    m_diskDialog->activateWindow();
}

void DiskPanel::treeItemChanged()
{
    m_diskTree->expandAll();
}

void DiskPanel::treeItemClicked(QTreeWidgetItem* item, int column)
{
    if (!item)
        return;
    if (column == 0)
        item->setCheckState(4, Qt::Unchecked);
    else if (column == 4)
        item->setCheckState(0, Qt::Unchecked);
}

void DiskPanel::updateParentItem(QTreeWidgetItem* item)
{
    if (!item)
        return;
    QTreeWidgetItem* parent = item->parent();
    if (!parent)
        return;
    int selected = 0;
    for (int i = 0; i < parent->childCount(); ++i) {
        QTreeWidgetItem* child = parent->child(i);
        if (child->checkState(0) == Qt::Checked) {
            child->setCheckState(4, Qt::Unchecked);
            ++selected;
        } else if (child->checkState(4) == Qt::Checked) {
            child->setCheckState(0, Qt::Unchecked);
            ++selected;
        }
    }
    parent->setCheckState(0, selected > 0 ? Qt::PartiallyChecked : Qt::Unchecked);
}

void DiskPanel::selectDiskNames()
{
    QList<ScanTarget>& targets = scanTargetList();
    targets.clear();
    for (QTreeWidgetItemIterator it(m_diskTree); *it; ++it) {
        QTreeWidgetItem* item = *it;
        if (item->checkState(0) != Qt::Checked && item->checkState(4) != Qt::Checked)
            continue;
        ScanTarget t;
        const QString scanName = item->data(0, kScanNameRole).toString();
        t.name = scanName.isEmpty() ? item->text(0) : scanName;
        bool ok = false;
        t.endOffset = item->text(1).toLongLong(&ok, 10);
        if (!ok)
            t.endOffset = 0;
        t.startOffset = 0;
        targets.append(t);
    }
    if (!targets.isEmpty()) {
        m_diskTree->setEnabled(false);
        m_scanRowCount = targets.size();
    }
}

void DiskPanel::rowsBuilt()
{
    m_diskDialog->hide();
}

void DiskPanel::scanStopped()
{
    m_diskDialog->hide();
    m_diskTree->setEnabled(true);
}

void DiskPanel::lastRowEnded()
{
    m_diskDialog->setEnabled(true);
}
