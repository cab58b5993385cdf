#include "app/panels/FragmentMediaCache.h"
#include "app/panels/PlayListModel.h"

#include <QDrag>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QMouseEvent>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QSortFilterProxyModel>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

QList<SPlayListTableItem> dragRows;

CPlayListTableModel::CPlayListTableModel() : m_lock(new QMutex) {}

CPlayListTableModel::~CPlayListTableModel()
{
    delete m_lock;
}

int CPlayListTableModel::rowCount(const QModelIndex& parent) const
{
    // A table: cells have no children.
    return parent.isValid() ? 0 : m_rows.size();
}

int CPlayListTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_columnCount;
}

QString CPlayListTableModel::nameText(const SFragmentFit& f, int serial)
{
    char tail[48];
    std::snprintf(tail, sizeof tail, "(%ds)%05d", PackedTime::duration(f.firstTime, f.lastTime), serial);
    return PackedTime::displayForm(f.firstTime) + QLatin1String(tail);
}

namespace {

// Thousandths of a MiB as the size text shows them; false where that text
// is printf's own (negative or huge sizes). Sorting formats the text for
// every comparison, so it is built from integers: thousandths of a MiB are
// totalBytes * 125 / 131072, rounded to nearest, ties to even, exactly as
// printf rounds the (exact) quotient.
bool sizeThousandths(qint64 totalBytes, qint64* thousandths)
{
    if (totalBytes < 0 || totalBytes > std::numeric_limits<qint64>::max() / 125)
        return false;
    const qint64 scaled = totalBytes * 125;
    qint64 q = scaled >> 17;
    const qint64 rest = scaled & 131071;
    if (rest > 65536 || (rest == 65536 && (q & 1)))
        ++q;
    *thousandths = q;
    return true;
}

// "%08.3fMB" of totalBytes / 1048576 into buf; returns the length.
int writeSize(qint64 totalBytes, char* buf)
{
    qint64 thousandths = 0;
    if (!sizeThousandths(totalBytes, &thousandths))
        return std::snprintf(buf, 64, "%08.3fMB", double(totalBytes) / 1048576.0);
    qint64 whole = thousandths / 1000;
    const int frac = int(thousandths % 1000);
    char digits[24];
    int n = 0;
    do {
        digits[n++] = char('0' + whole % 10);
        whole /= 10;
    } while (whole);
    int len = 0;
    for (int pad = n; pad < 4; ++pad)
        buf[len++] = '0';
    while (n)
        buf[len++] = digits[--n];
    buf[len++] = '.';
    buf[len++] = char('0' + frac / 100);
    buf[len++] = char('0' + frac / 10 % 10);
    buf[len++] = char('0' + frac % 10);
    buf[len++] = 'M';
    buf[len++] = 'B';
    buf[len] = 0;
    return len;
}

} // namespace

QString CPlayListTableModel::sizeText(qint64 totalBytes)
{
    char buf[64];
    const int len = writeSize(totalBytes, buf);
    return QString::fromLatin1(buf, len);
}

int CPlayListTableModel::writeText(const SPlayListTableItem& row, int column, char* buf)
{
    const SFragmentFit& f = row.sFragmentFit;
    switch (column) {
    case 0:
        return std::snprintf(buf, 64, "%u", uint(f.stream));
    case 1: {
        const quint32 t = f.firstTime;
        return std::snprintf(buf, 64, "2%03d-%02d-%02d %02d:%02d:%02d(%ds)%05d", PackedTime::year(t),
                             PackedTime::month(t), PackedTime::day(t), PackedTime::hour(t), PackedTime::minute(t),
                             PackedTime::second(t), PackedTime::duration(f.firstTime, f.lastTime), row.iSerial);
    }
    case 2:
        return writeSize(f.totalBytes, buf);
    default:
        return -1;
    }
}

namespace {

int decimalDigits(quint64 v)
{
    int d = 1;
    while (v >= 10) {
        v /= 10;
        ++d;
    }
    return d;
}

// The proxy's sort key of a size: its thousandths, or -1 where the text is
// printf's own.
qint64 sizeKey(qint64 totalBytes)
{
    qint64 q = -1;
    return sizeThousandths(totalBytes, &q) ? q : -1;
}

// The text order of two rows' display texts in columns 0 to 2, decided from
// the fields where the texts have the same shape; 0 when undecided.
int quickCompare(const SPlayListTableItem& x, const SPlayListTableItem& y, int column)
{
    auto cmp = [](auto a, auto b) { return a < b ? -1 : (b < a ? 1 : 0); };
    switch (column) {
    case 0: {
        // Unsigned decimals of equal length compare as numbers.
        const uint a = uint(x.sFragmentFit.stream);
        const uint b = uint(y.sFragmentFit.stream);
        return decimalDigits(a) == decimalDigits(b) ? cmp(a, b) : 0;
    }
    case 1: {
        // Every field of the time is at most two digits in a fixed-width
        // slot, so the time part compares field by field.
        const quint32 ta = x.sFragmentFit.firstTime;
        const quint32 tb = y.sFragmentFit.firstTime;
        using namespace PackedTime;
        if (int c = cmp(year(ta), year(tb)))
            return c;
        if (int c = cmp(month(ta), month(tb)))
            return c;
        if (int c = cmp(day(ta), day(tb)))
            return c;
        if (int c = cmp(hour(ta), hour(tb)))
            return c;
        if (int c = cmp(minute(ta), minute(tb)))
            return c;
        if (int c = cmp(second(ta), second(tb)))
            return c;
        if (duration(ta, x.sFragmentFit.lastTime) != duration(tb, y.sFragmentFit.lastTime))
            return 0;
        // Same text up to the serial; five-digit serials compare as numbers.
        const int sa = x.iSerial;
        const int sb = y.iSerial;
        if (sa >= 0 && sb >= 0 && sa <= 99999 && sb <= 99999)
            return cmp(sa, sb);
        return 0;
    }
    case 2: {
        qint64 qa = 0;
        qint64 qb = 0;
        if (!sizeThousandths(x.sFragmentFit.totalBytes, &qa) || !sizeThousandths(y.sFragmentFit.totalBytes, &qb))
            return 0;
        // Integer parts padded to the same width: the texts compare as numbers.
        const int wa = std::max(4, decimalDigits(quint64(qa / 1000)));
        const int wb = std::max(4, decimalDigits(quint64(qb / 1000)));
        return wa == wb ? (qa < qb ? -1 : 1) * (qa != qb) : 0;
    }
    default:
        return 0;
    }
}

} // namespace

void CPlayListSortProxy::setSourceModel(QAbstractItemModel* model)
{
    if (QAbstractItemModel* old = sourceModel()) {
        disconnect(old, &QAbstractItemModel::rowsInserted, this, nullptr);
        disconnect(old, &QAbstractItemModel::rowsRemoved, this, nullptr);
        disconnect(old, &QAbstractItemModel::modelReset, this, nullptr);
    }
    // Connected before the base class connects, so the keys are in step
    // when it compares the new rows.
    if (auto* list = qobject_cast<CPlayListTableModel*>(model)) {
        connect(list, &QAbstractItemModel::rowsInserted, this, [this, list](const QModelIndex&, int first, int last) {
            if (first < 0 || first > int(m_sizeKeys.size())) {
                rebuildKeys();
                return;
            }
            std::vector<qint64> added;
            added.reserve(size_t(last - first + 1));
            for (int r = first; r <= last; ++r)
                added.push_back(sizeKey(list->rowAt(r).sFragmentFit.totalBytes));
            m_sizeKeys.insert(m_sizeKeys.begin() + first, added.begin(), added.end());
        });
        connect(list, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex&, int first, int last) {
            if (first < 0 || last >= int(m_sizeKeys.size()) || first > last) {
                rebuildKeys();
                return;
            }
            m_sizeKeys.erase(m_sizeKeys.begin() + first, m_sizeKeys.begin() + last + 1);
        });
        connect(list, &QAbstractItemModel::modelReset, this, [this] { rebuildKeys(); });
    }
    QSortFilterProxyModel::setSourceModel(model);
    rebuildKeys();
}

void CPlayListSortProxy::rebuildKeys()
{
    m_sizeKeys.clear();
    const auto* list = qobject_cast<const CPlayListTableModel*>(sourceModel());
    if (!list)
        return;
    m_sizeKeys.reserve(size_t(list->rowCount()));
    for (const SPlayListTableItem& row : list->rows())
        m_sizeKeys.push_back(sizeKey(row.sFragmentFit.totalBytes));
}

bool CPlayListSortProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const auto* model = qobject_cast<const CPlayListTableModel*>(sourceModel());
    const int column = left.column();
    if (!model || column != right.column() || column < 0 || column > 2 || sortRole() != Qt::DisplayRole ||
        sortCaseSensitivity() != Qt::CaseSensitive || isSortLocaleAware() || left.row() < 0 || right.row() < 0 ||
        left.row() >= model->rowCount() || right.row() >= model->rowCount())
        return QSortFilterProxyModel::lessThan(left, right);
    // Sizes below 10,000 MiB: texts of one width, so they compare as numbers.
    if (column == 2 && int(m_sizeKeys.size()) == model->rowCount()) {
        const qint64 a = m_sizeKeys[size_t(left.row())];
        const qint64 b = m_sizeKeys[size_t(right.row())];
        if (a >= 0 && b >= 0 && a < 10000000 && b < 10000000 && a != b)
            return a < b;
    }
    const SPlayListTableItem& x = model->rowAt(left.row());
    const SPlayListTableItem& y = model->rowAt(right.row());
    if (const int c = quickCompare(x, y, column))
        return c < 0;
    // The texts themselves; ASCII, where byte order is QString's order.
    char a[64];
    char b[64];
    const int la = CPlayListTableModel::writeText(x, column, a);
    const int lb = CPlayListTableModel::writeText(y, column, b);
    const int c = std::memcmp(a, b, size_t(std::min(la, lb)));
    return c < 0 || (c == 0 && la < lb);
}

QVariant CPlayListTableModel::data(const QModelIndex& index, int role) const
{
    // The name column is drawn for five-digit serials; the tooltip tells a
    // longer name whole, with the fragment's duration and first picture.
    if (role == Qt::ToolTipRole && index.isValid() && index.row() < m_rows.size())
        return CFragmentMediaCache::instance().toolTip(m_rows.at(index.row()));
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_rows.size())
        return QVariant();
    const SPlayListTableItem& row = m_rows.at(index.row());
    const SFragmentFit& f = row.sFragmentFit;
    switch (index.column()) {
    case 0:
        return QString::number(uint(f.stream));
    case 1:
        return nameText(f, row.iSerial);
    case 2:
        return sizeText(f.totalBytes);
    case 3:
        return QString::fromLocal8Bit(f.diskName);
    default:
        return QVariant();
    }
}

QVariant CPlayListTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return QVariant();
    switch (section) {
    case 0:
        return QStringLiteral("通道");
    case 1:
        return QStringLiteral("  名称 ");
    case 2:
        return QStringLiteral("  大小 ");
    case 3:
        return QStringLiteral("  位置 ");
    default:
        return QVariant();
    }
}

void CPlayListTableModel::addRow(const SFragmentFit& sFragmentFit, int serial)
{
    SPlayListTableItem item;
    item.sFragmentFit = sFragmentFit;
    item.iSerial = serial;
    QMutexLocker locker(m_lock);
    const int n = m_rows.size();
    beginInsertRows(QModelIndex(), n, n);
    m_rows.append(item);
    endInsertRows();
}

void CPlayListTableModel::addRows(const QList<SPlayListTableItem>& items)
{
    if (items.isEmpty())
        return;
    QMutexLocker locker(m_lock);
    const int n = m_rows.size();
    beginInsertRows(QModelIndex(), n, n + items.size() - 1);
    m_rows.reserve(n + items.size());
    for (const SPlayListTableItem& it : items) {
        SPlayListTableItem item;
        item.sFragmentFit = it.sFragmentFit;
        item.iSerial = it.iSerial;
        m_rows.append(item);
    }
    endInsertRows();
}

void CPlayListTableModel::deleteRow(int row)
{
    QMutexLocker locker(m_lock);
    if (row < 0 || row >= m_rows.size())
        return;
    // The extent list is shared with every copy of the row and outlives it.
    beginRemoveRows(QModelIndex(), row, row);
    m_rows.removeAt(row);
    endRemoveRows();
}

// ---- DropTableView ----

DropTableView::DropTableView(QWidget* parent) : QTableView(parent)
{
    setAcceptDrops(true);
}

QList<int> DropTableView::selectedModelRows() const
{
    QList<int> rows;
    QItemSelectionModel* sel = selectionModel();
    if (!sel || !listModel)
        return rows;
    // Whole-row selection lists each row once per column, row by row; keeping
    // the first mention of each row is the same as taking every fourth entry,
    // and stays right should a range ever not span all columns.
    QSet<int> seen;
    for (const QModelIndex& ix : sel->selectedIndexes()) {
        const int r = sortProxy ? sortProxy->mapToSource(ix).row() : ix.row();
        if (r >= 0 && r < listModel->rowCount() && !seen.contains(r)) {
            seen.insert(r);
            rows.append(r);
        }
    }
    return rows;
}

QList<SPlayListTableItem> DropTableView::selectedItems() const
{
    QList<SPlayListTableItem> items;
    for (int r : selectedModelRows())
        items.append(listModel->item(r));
    return items;
}

QList<int> DropTableView::displayedModelRows() const
{
    QList<int> rows;
    if (!listModel)
        return rows;
    const QAbstractItemModel* shown = sortProxy ? static_cast<QAbstractItemModel*>(sortProxy) : listModel;
    const int n = shown->rowCount();
    rows.reserve(n);
    for (int r = 0; r < n; ++r) {
        const QModelIndex ix = shown->index(r, 0);
        rows.append(sortProxy ? sortProxy->mapToSource(ix).row() : r);
    }
    return rows;
}

bool DropTableView::dragWanted(Qt::MouseButtons buttons, const QPoint& viewPos) const
{
    return (buttons & Qt::LeftButton) && !rect().contains(viewPos);
}

bool DropTableView::prepareDrag()
{
    dragRows.clear();
    if (!selectionModel())
        return false;
    dragRows = selectedItems();
    return true;
}

bool DropTableView::acceptsDragFrom(const QObject* source) const
{
    const DropTableView* from = qobject_cast<const DropTableView*>(source);
    return from && from != this;
}

int DropTableView::dropFrom(const QObject* source)
{
    if (!acceptsDragFrom(source))
        return 0;
    const int n = dragRows.size();
    if (listModel)
        listModel->addRows(dragRows);
    dragRows.clear();
    return n;
}

void DropTableView::mousePressEvent(QMouseEvent* event)
{
    QTableView::mousePressEvent(event);
}

void DropTableView::mouseMoveEvent(QMouseEvent* event)
{
    // Moves arrive through the viewport, in its coordinates.
    const QPoint viewPos = viewport()->mapTo(this, event->pos());
    if (dragWanted(event->buttons(), viewPos) && prepareDrag()) {
        auto* drag = new QDrag(this);
        drag->setMimeData(new QMimeData);
        drag->exec(Qt::CopyAction);
        // The drag took the gesture and the button is up: passing this move
        // on would stretch the selection to where the drag began and scroll
        // the list sideways (it has no scroll bar to come back with).
        return;
    }
    QTableView::mouseMoveEvent(event);
}

void DropTableView::dragEnterEvent(QDragEnterEvent* event)
{
    if (acceptsDragFrom(event->source())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void DropTableView::dragMoveEvent(QDragMoveEvent* event)
{
    if (acceptsDragFrom(event->source())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void DropTableView::dropEvent(QDropEvent* event)
{
    if (!acceptsDragFrom(event->source()))
        return;
    dropFrom(event->source());
    event->setDropAction(Qt::CopyAction);
    event->accept();
}
