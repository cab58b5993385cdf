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

#include <algorithm>
#include <cmath>
#include <functional>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>

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

// Keys: the start of a display text as symbols in text order, packed into
// the top 63 bits (end of text = 0, the smallest), the lowest bit set when
// the text goes on past what was packed. Equal keys with that bit clear are
// equal texts; a key that went on is greater than a shorter one it starts
// with, as its text is.
constexpr quint64 kGoesOn = 1;

// Decimal digits of v, most significant first, written at buf; returns the count.
int writeUnsigned(quint64 v, char* buf)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v);
    for (int i = 0; i < n; ++i)
        buf[i] = digits[n - 1 - i];
    return n;
}

// printf's "%d" and "%05d".
int writeInt(int v, char* buf, int width = 0)
{
    int len = 0;
    quint64 magnitude = quint64(v < 0 ? -qint64(v) : qint64(v));
    if (v < 0) {
        buf[len++] = '-';
        --width;
    }
    char digits[24];
    const int n = writeUnsigned(magnitude, digits);
    for (int pad = n; pad < width; ++pad)
        buf[len++] = '0';
    std::memcpy(buf + len, digits, size_t(n));
    return len + n;
}

// Channel: "%u", at most ten digits; always whole.
quint64 channelKey(int stream)
{
    char buf[24];
    const int n = writeUnsigned(uint(stream), buf);
    quint64 k = 0;
    for (int i = 0; i < 10; ++i)
        k = k * 11 + (i < n ? quint64(buf[i] - '0' + 1) : 0);
    return k << 1;
}

// "%ds)%05d" of the duration and serial, the name after its time, without the ")".
int writeNameTail(const SPlayListTableItem& row, char* buf)
{
    int n = writeInt(PackedTime::duration(row.sFragmentFit.firstTime, row.sFragmentFit.lastTime), buf);
    buf[n++] = 's';
    return n + writeInt(row.iSerial, buf + n, 5);
}

// Name: the time part is fixed-width fields of at most two digits, so it
// compares as the number the fields make; then "%ds)%05d" of the duration and
// serial, whose ")" always follows the "s" and so decides nothing. Eight
// symbols of that tail (13 of them) are packed.
quint64 nameKey(const SPlayListTableItem& row)
{
    const quint32 t = row.sFragmentFit.firstTime;
    using namespace PackedTime;
    const quint64 time =
        ((((quint64(year(t)) * 16 + quint64(month(t))) * 32 + quint64(day(t))) * 32 + quint64(hour(t))) * 64 +
         quint64(minute(t))) * 64 + quint64(second(t));
    char tail[40];
    const int n = writeNameTail(row, tail);
    quint64 k = 0;
    for (int i = 0; i < 8; ++i) {
        quint64 sym = 0;
        if (i < n)
            sym = tail[i] == '-' ? 1 : tail[i] == 's' ? 12 : quint64(tail[i] - '0' + 2);
        k = k * 13 + sym;
    }
    return (time * 815730721ull + k) << 1 | (n > 8 ? kGoesOn : 0);
}

// Size: fifteen symbols of its text, four bits each.
quint64 sizeKey(qint64 totalBytes)
{
    char buf[64];
    const int n = writeSize(totalBytes, buf);
    quint64 k = 0;
    for (int i = 0; i < 15; ++i) {
        quint64 sym = 0;
        if (i < n) {
            const char c = buf[i];
            sym = c == '-' ? 1 : c == '.' ? 2 : c == 'B' ? 13 : c == 'M' ? 14 : quint64(c - '0' + 3);
        }
        k = k << 4 | sym;
    }
    return k << 1 | (n > 15 ? kGoesOn : 0);
}

// Each removal costs every view a pass over all its rows: rows that fall
// into more runs than this are taken out in one reset instead.
constexpr size_t kMostRemovals = 32;

// Whether sorted rows (step 1: ascending, -1: descending) fall into more
// runs of neighbours than kMostRemovals.
bool tooManyRuns(const std::vector<int>& rows, int step)
{
    size_t runs = 0;
    for (size_t i = 0; i < rows.size(); ++i)
        if ((i == 0 || rows[i] != rows[i - 1] + step) && ++runs > kMostRemovals)
            return true;
    return false;
}

struct KeyedRow {
    quint64 key;
    int row;
};

// A stable sort of `items` by key: 11 bits a pass, least significant first,
// over only the bits in which the keys differ.
void radixSort(std::vector<KeyedRow>& items)
{
    constexpr int kBits = 11;
    constexpr size_t kBuckets = size_t(1) << kBits;
    const size_t n = items.size();
    quint64 differ = 0;
    for (const KeyedRow& it : items)
        differ |= it.key ^ items[0].key;
    if (!differ)
        return;
    const int low = __builtin_ctzll(differ);
    const int passes = (64 - __builtin_clzll(differ) - low + kBits - 1) / kBits;
    std::vector<quint32> counts(size_t(passes) * kBuckets, 0);
    for (const KeyedRow& it : items)
        for (int p = 0; p < passes; ++p)
            ++counts[size_t(p) * kBuckets + ((it.key >> (low + p * kBits)) & (kBuckets - 1))];
    std::vector<KeyedRow> spare(n);
    for (int p = 0; p < passes; ++p) {
        quint32* count = counts.data() + size_t(p) * kBuckets;
        const int shift = low + p * kBits;
        quint32 sum = 0;
        for (size_t b = 0; b < kBuckets; ++b) {
            const quint32 c = count[b];
            count[b] = sum;
            sum += c;
        }
        for (const KeyedRow& it : items)
            spare[count[(it.key >> shift) & (kBuckets - 1)]++] = it;
        items.swap(spare);
    }
}

} // namespace

void CPlayListSortProxy::setSourceModel(QAbstractItemModel* model)
{
    beginResetModel();
    for (const QMetaObject::Connection& c : m_connections)
        disconnect(c);
    m_connections.clear();
    QAbstractProxyModel::setSourceModel(model);
    m_list = qobject_cast<const CPlayListTableModel*>(model);
    if (model) {
        using M = QAbstractItemModel;
        m_connections << connect(model, &M::rowsInserted, this,
                                 [this](const QModelIndex& p, int first, int last) {
                                     if (!p.isValid())
                                         sourceRowsInserted(first, last);
                                 })
                      << connect(model, &M::rowsAboutToBeRemoved, this,
                                 [this](const QModelIndex& p, int first, int last) {
                                     if (!p.isValid())
                                         sourceRowsAboutToBeRemoved(first, last);
                                 })
                      << connect(model, &M::rowsRemoved, this,
                                 [this](const QModelIndex& p, int first, int last) {
                                     if (!p.isValid())
                                         sourceRowsRemoved(first, last);
                                 })
                      << connect(model, &M::dataChanged, this,
                                 [this](const QModelIndex& tl, const QModelIndex& br, const QVector<int>& roles) {
                                     // Rows do not change once listed; shown again, not re-sorted.
                                     if (!m_proxyToSource.empty())
                                         emit dataChanged(index(0, tl.column()),
                                                          index(int(m_proxyToSource.size()) - 1, br.column()), roles);
                                 })
                      << connect(model, &M::headerDataChanged, this, &CPlayListSortProxy::headerDataChanged)
                      << connect(model, &QObject::destroyed, this, [this] {
                             beginResetModel();
                             m_list = nullptr;
                             rebuildAll();
                             endResetModel();
                         });
        // Anything else that moves rows or columns starts the order afresh.
        const auto resetBegins = [this] { beginResetModel(); };
        const auto resetEnds = [this] {
            rebuildAll();
            endResetModel();
        };
        m_connections << connect(model, &M::modelAboutToBeReset, this, resetBegins)
                      << connect(model, &M::modelReset, this, resetEnds)
                      << connect(model, &M::layoutAboutToBeChanged, this, resetBegins)
                      << connect(model, &M::layoutChanged, this, resetEnds)
                      << connect(model, &M::rowsAboutToBeMoved, this, resetBegins)
                      << connect(model, &M::rowsMoved, this, resetEnds)
                      << connect(model, &M::columnsAboutToBeInserted, this, resetBegins)
                      << connect(model, &M::columnsInserted, this, resetEnds)
                      << connect(model, &M::columnsAboutToBeRemoved, this, resetBegins)
                      << connect(model, &M::columnsRemoved, this, resetEnds);
    }
    rebuildAll();
    endResetModel();
}

void CPlayListSortProxy::rebuildAll()
{
    const int n = m_list ? m_list->rowCount() : 0;
    m_columns = m_list ? m_list->columnCount() : 0;
    m_proxyToSource.resize(size_t(n));
    for (int r = 0; r < n; ++r)
        m_proxyToSource[size_t(r)] = r;
    m_sourceToProxyStale = true;
    rekeyAll();
    if (m_column >= 0 && m_column < m_columns)
        sortStable(m_proxyToSource);
    else if (m_order == Qt::DescendingOrder)
        std::reverse(m_proxyToSource.begin(), m_proxyToSource.end());
}

int CPlayListSortProxy::diskRank(const QByteArray& name)
{
    auto found = m_diskRanks.constFind(name);
    if (found != m_diskRanks.constEnd())
        return found.value();
    const QString text = QString::fromLocal8Bit(name);
    auto at = std::lower_bound(m_diskNames.begin(), m_diskNames.end(), text);
    const int rank = int(at - m_diskNames.begin());
    // Bytes whose text is one already seen share its rank.
    if (at == m_diskNames.end() || *at != text) {
        m_diskNames.insert(at, text);
        for (auto it = m_diskRanks.begin(); it != m_diskRanks.end(); ++it)
            if (it.value() >= rank)
                ++it.value();
        if (m_column == 3)
            for (quint64& k : m_keys)
                if (int(k >> 1) >= rank)
                    k += 2;
    }
    m_diskRanks.insert(name, rank);
    return rank;
}

void CPlayListSortProxy::computeKeys(int first, int last, quint64* out)
{
    if (m_column == 3) {
        // Names first: a new one renumbers those after it. Rows mostly
        // repeat the name of the row before.
        QByteArray seen;
        for (int r = first; r <= last; ++r) {
            const QByteArray& name = m_list->rowAt(r).sFragmentFit.diskName;
            if (r == first || name != seen) {
                diskRank(name);
                seen = name;
            }
        }
        int rank = 0;
        for (int r = first; r <= last; ++r) {
            const QByteArray& name = m_list->rowAt(r).sFragmentFit.diskName;
            if (r == first || name != seen) {
                rank = m_diskRanks.value(name);
                seen = name;
            }
            out[r - first] = quint64(rank) << 1;
        }
        return;
    }
    for (int r = first; r <= last; ++r) {
        const SPlayListTableItem& row = m_list->rowAt(r);
        switch (m_column) {
        case 0:
            out[r - first] = channelKey(row.sFragmentFit.stream);
            break;
        case 1:
            out[r - first] = nameKey(row);
            break;
        case 2:
            out[r - first] = sizeKey(row.sFragmentFit.totalBytes);
            break;
        default:
            out[r - first] = 0;
            break;
        }
    }
}

void CPlayListSortProxy::rekeyAll()
{
    m_keys.clear();
    if (!m_list || m_column < 0 || m_column >= m_columns || m_column > 3) {
        m_keys.shrink_to_fit();
        return;
    }
    const int n = m_list->rowCount();
    m_keys.resize(size_t(n));
    if (n >= 65536 && m_column != 3) {
        // Half on a second thread: the rows are only read meanwhile (they
        // change on this thread alone), and source names, which keep a
        // table, are not among these columns.
        const int half = n / 2;
        std::thread other([this, half, n] { computeKeys(half, n - 1, m_keys.data() + half); });
        computeKeys(0, half - 1, m_keys.data());
        other.join();
    } else if (n > 0) {
        computeKeys(0, n - 1, m_keys.data());
    }
}

int CPlayListSortProxy::compareRows(int a, int b) const
{
    const quint64 ka = m_keys[size_t(a)];
    const quint64 kb = m_keys[size_t(b)];
    if (ka != kb)
        return ka < kb ? -1 : 1;
    if (!(ka & kGoesOn))
        return 0;
    // The texts themselves; ASCII, where byte order is QString's order. Equal
    // name keys hold the same time part: the tails decide.
    char x[64];
    char y[64];
    const SPlayListTableItem& ra = m_list->rowAt(a);
    const SPlayListTableItem& rb = m_list->rowAt(b);
    const int lx = m_column == 1 ? writeNameTail(ra, x) : CPlayListTableModel::writeText(ra, m_column, x);
    const int ly = m_column == 1 ? writeNameTail(rb, y) : CPlayListTableModel::writeText(rb, m_column, y);
    if (const int c = std::memcmp(x, y, size_t(std::min(lx, ly))))
        return c;
    return lx < ly ? -1 : (lx > ly ? 1 : 0);
}

bool CPlayListSortProxy::shownBefore(int a, int b) const
{
    const int c = compareRows(a, b);
    return m_order == Qt::AscendingOrder ? c < 0 : c > 0;
}

void CPlayListSortProxy::sortStable(std::vector<int>& rows) const
{
    if (rows.size() < 2 || m_keys.empty())
        return;
    const bool descending = m_order == Qt::DescendingOrder;
    std::vector<KeyedRow> items(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const quint64 k = m_keys[size_t(rows[i])];
        items[i] = {descending ? ~k : k, rows[i]};
    }
    if (items.size() < 512)
        std::stable_sort(items.begin(), items.end(), [](const KeyedRow& a, const KeyedRow& b) { return a.key < b.key; });
    else
        radixSort(items);
    // Equal keys of texts that go on: those texts decide.
    for (size_t i = 0; i < items.size();) {
        size_t j = i + 1;
        while (j < items.size() && items[j].key == items[i].key)
            ++j;
        if (j - i > 1 && (m_keys[size_t(items[i].row)] & kGoesOn))
            std::stable_sort(items.begin() + long(i), items.begin() + long(j),
                             [this](const KeyedRow& a, const KeyedRow& b) { return shownBefore(a.row, b.row); });
        i = j;
    }
    for (size_t i = 0; i < items.size(); ++i)
        rows[i] = items[i].row;
}

const std::vector<int>& CPlayListSortProxy::sourceToProxy() const
{
    if (m_sourceToProxyStale) {
        const int n = m_list ? m_list->rowCount() : 0;
        m_sourceToProxy.assign(size_t(std::max<int>(n, int(m_proxyToSource.size()))), -1);
        for (size_t p = 0; p < m_proxyToSource.size(); ++p) {
            const int s = m_proxyToSource[p];
            if (s >= 0 && size_t(s) < m_sourceToProxy.size())
                m_sourceToProxy[size_t(s)] = int(p);
        }
        m_sourceToProxyStale = false;
    }
    return m_sourceToProxy;
}

void CPlayListSortProxy::sort(int column, Qt::SortOrder order)
{
    if (column == m_column && order == m_order)
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> sourceRows;
    sourceRows.reserve(size_t(before.size()));
    for (const QModelIndex& ix : before)
        sourceRows.push_back(ix.isValid() && size_t(ix.row()) < m_proxyToSource.size()
                                 ? m_proxyToSource[size_t(ix.row())]
                                 : -1);
    const bool sameColumn = column == m_column;
    m_column = column;
    m_order = order;
    if (!sameColumn)
        rekeyAll();
    if (m_keys.empty() && (column < 0 || column >= m_columns || column > 3)) {
        // The model's order, as QSortFilterProxyModel gives it unsorted.
        std::sort(m_proxyToSource.begin(), m_proxyToSource.end());
        if (order == Qt::DescendingOrder)
            std::reverse(m_proxyToSource.begin(), m_proxyToSource.end());
    } else if (sameColumn) {
        // The other way round: runs of equal rows in reverse, each in its
        // own order, as a stable sort gives it; one pass.
        const size_t n = m_proxyToSource.size();
        std::vector<int>& next = m_sourceToProxy;
        next.resize(n);
        size_t out = 0;
        for (size_t end = n; end > 0;) {
            size_t begin = end - 1;
            while (begin > 0 && compareRows(m_proxyToSource[begin - 1], m_proxyToSource[end - 1]) == 0)
                --begin;
            std::copy(m_proxyToSource.begin() + long(begin), m_proxyToSource.begin() + long(end),
                      next.begin() + long(out));
            out += end - begin;
            end = begin;
        }
        m_proxyToSource.swap(next);
    } else {
        sortStable(m_proxyToSource);
    }
    m_sourceToProxyStale = true;
    QModelIndexList after;
    if (!before.isEmpty()) {
        const std::vector<int>& toProxy = sourceToProxy();
        after.reserve(before.size());
        for (int i = 0; i < before.size(); ++i) {
            const int s = sourceRows[size_t(i)];
            after.append(s >= 0 ? createIndex(toProxy[size_t(s)], before[i].column()) : QModelIndex());
        }
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void CPlayListSortProxy::sourceRowsInserted(int first, int last)
{
    if (!m_list || first < 0 || last < first)
        return;
    const int count = last - first + 1;
    const int shown = int(m_proxyToSource.size());
    if (first < shown) {
        for (int& s : m_proxyToSource)
            if (s >= first)
                s += count;
    }
    const bool sorted = !m_keys.empty() || (m_column >= 0 && m_column < m_columns && m_column <= 3);
    if (sorted) {
        std::vector<quint64> added(static_cast<size_t>(count));
        computeKeys(first, last, added.data());
        m_keys.insert(m_keys.begin() + first, added.begin(), added.end());
    }
    m_sourceToProxyStale = true;
    if (!sorted) {
        // The model's order: the rows take their own place; reversed, the mirror of it.
        const int at = m_order == Qt::DescendingOrder ? shown - first : first;
        beginInsertRows(QModelIndex(), at, at + count - 1);
        std::vector<int> rows(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i)
            rows[size_t(i)] = m_order == Qt::DescendingOrder ? last - i : first + i;
        m_proxyToSource.insert(m_proxyToSource.begin() + at, rows.begin(), rows.end());
        endInsertRows();
        return;
    }
    std::vector<int> added(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        added[size_t(i)] = first + i;
    sortStable(added);
    // Each block of new rows goes after the rows shown that its first row
    // does not precede (found by bisection from the block before, or by one
    // walk when there are many), and takes the rows after that first one up
    // to the first that the row shown there precedes. Equal rows thus land
    // where QSortFilterProxyModel puts them.
    std::vector<int> places(static_cast<size_t>(count));
    const bool walk = double(count) * std::log2(double(shown) + 2) > double(shown);
    int lo = 0;
    for (int i = 0; i < count;) {
        const int row = added[size_t(i)];
        if (walk) {
            while (lo < shown && !shownBefore(row, m_proxyToSource[size_t(lo)]))
                ++lo;
        } else {
            int hi = shown;
            while (lo < hi) {
                const int mid = lo + (hi - lo) / 2;
                if (shownBefore(row, m_proxyToSource[size_t(mid)]))
                    hi = mid;
                else
                    lo = mid + 1;
            }
        }
        places[size_t(i++)] = lo;
        while (i < count && (lo >= shown || !shownBefore(m_proxyToSource[size_t(lo)], added[size_t(i)])))
            places[size_t(i++)] = lo;
    }
    int runs = 0;
    for (int i = 0; i < count; ++i)
        runs += i == 0 || places[size_t(i)] != places[size_t(i - 1)];
    // One or two runs are announced as insertions; more, as one insertion
    // at the end and one move of them all into place: the views take each
    // announcement in a pass over the whole list.
    constexpr int kRunsAnnounced = 2;
    if (runs <= kRunsAnnounced) {
        int offset = 0;
        for (int i = 0; i < count;) {
            int j = i + 1;
            while (j < count && places[size_t(j)] == places[size_t(i)])
                ++j;
            const int at = places[size_t(i)] + offset;
            beginInsertRows(QModelIndex(), at, at + (j - i) - 1);
            m_proxyToSource.insert(m_proxyToSource.begin() + at, added.begin() + i, added.begin() + j);
            m_sourceToProxyStale = true;
            endInsertRows();
            offset += j - i;
            i = j;
        }
        return;
    }
    beginInsertRows(QModelIndex(), shown, shown + count - 1);
    m_proxyToSource.insert(m_proxyToSource.end(), added.begin(), added.end());
    m_sourceToProxyStale = true;
    endInsertRows();

    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    // Built where the inverse is kept (stale from now on), whose pages are mapped already.
    std::vector<int>& next = m_sourceToProxy;
    next.resize(m_proxyToSource.size());
    auto out = next.begin();
    int from = 0;
    for (int i = 0; i < count; ++i) {
        out = std::copy(m_proxyToSource.begin() + from, m_proxyToSource.begin() + places[size_t(i)], out);
        from = places[size_t(i)];
        *out++ = added[size_t(i)];
    }
    std::copy(m_proxyToSource.begin() + from, m_proxyToSource.begin() + shown, out);
    m_proxyToSource.swap(next);
    m_sourceToProxyStale = true;
    // A row shown at p moves down by the new rows placed at or before p; the
    // new rows, shown at the end for the moment, go to their places.
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& ix : before) {
        const int p = ix.row();
        int to = -1;
        if (p >= shown && p < shown + count)
            to = places[size_t(p - shown)] + (p - shown);
        else if (p >= 0 && p < shown)
            to = p + int(std::upper_bound(places.begin(), places.end(), p) - places.begin());
        after.append(to >= 0 ? createIndex(to, ix.column()) : QModelIndex());
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void CPlayListSortProxy::sourceRowsAboutToBeRemoved(int first, int last)
{
    const std::vector<int>& toProxy = sourceToProxy();
    std::vector<int> gone;
    for (int s = std::max(0, first); s <= last && size_t(s) < toProxy.size(); ++s)
        if (toProxy[size_t(s)] >= 0)
            gone.push_back(toProxy[size_t(s)]);
    std::sort(gone.begin(), gone.end(), std::greater<int>());
    // Rows scattered over the order (many rows deleted from a list sorted by
    // another column): one reset, and the order made afresh, the same order.
    if (tooManyRuns(gone, -1)) {
        m_removalResets = true;
        beginResetModel();
        return;
    }
    // Highest first, so the rows still to go keep their numbers.
    for (size_t i = 0; i < gone.size();) {
        size_t j = i + 1;
        while (j < gone.size() && gone[j] == gone[j - 1] - 1)
            ++j;
        const int low = gone[j - 1];
        const int high = gone[i];
        beginRemoveRows(QModelIndex(), low, high);
        m_proxyToSource.erase(m_proxyToSource.begin() + low, m_proxyToSource.begin() + high + 1);
        m_sourceToProxyStale = true;
        endRemoveRows();
        i = j;
    }
}

void CPlayListSortProxy::sourceRowsRemoved(int first, int last)
{
    if (m_removalResets) {
        m_removalResets = false;
        rebuildAll();
        endResetModel();
        return;
    }
    if (first < 0 || last < first)
        return;
    const int count = last - first + 1;
    if (!m_keys.empty() && size_t(last) < m_keys.size())
        m_keys.erase(m_keys.begin() + first, m_keys.begin() + last + 1);
    for (int& s : m_proxyToSource)
        if (s > last)
            s -= count;
    m_sourceToProxyStale = true;
}

QModelIndex CPlayListSortProxy::index(int row, int column, const QModelIndex& parent) const
{
    if (parent.isValid() || row < 0 || column < 0 || row >= int(m_proxyToSource.size()) || column >= m_columns)
        return QModelIndex();
    return createIndex(row, column);
}

QModelIndex CPlayListSortProxy::parent(const QModelIndex&) const
{
    return QModelIndex();
}

int CPlayListSortProxy::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_proxyToSource.size());
}

int CPlayListSortProxy::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_columns;
}

bool CPlayListSortProxy::hasChildren(const QModelIndex& parent) const
{
    return !parent.isValid() && !m_proxyToSource.empty() && m_columns > 0;
}

QVariant CPlayListSortProxy::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (!m_list)
        return QVariant();
    if (role == Qt::InitialSortOrderRole && orientation == Qt::Horizontal && m_initialOrder >= 0)
        return m_initialOrder;
    if (orientation == Qt::Vertical) {
        if (section < 0 || section >= int(m_proxyToSource.size()))
            return QVariant();
        section = m_proxyToSource[size_t(section)];
    }
    return m_list->headerData(section, orientation, role);
}

QModelIndex CPlayListSortProxy::mapToSource(const QModelIndex& proxyIndex) const
{
    if (!m_list || !proxyIndex.isValid() || proxyIndex.model() != this || proxyIndex.row() >= int(m_proxyToSource.size()))
        return QModelIndex();
    return m_list->index(m_proxyToSource[size_t(proxyIndex.row())], proxyIndex.column());
}

QModelIndex CPlayListSortProxy::mapFromSource(const QModelIndex& sourceIndex) const
{
    if (!m_list || !sourceIndex.isValid() || sourceIndex.model() != m_list)
        return QModelIndex();
    const std::vector<int>& toProxy = sourceToProxy();
    if (size_t(sourceIndex.row()) >= toProxy.size() || toProxy[size_t(sourceIndex.row())] < 0)
        return QModelIndex();
    return createIndex(toProxy[size_t(sourceIndex.row())], sourceIndex.column());
}

QVariant CPlayListTableModel::data(const QModelIndex& index, int role) const
{
    // The name column is drawn for five-digit serials; the tooltip tells a
    // longer name whole, with the fragment's duration and first picture.
    if (role == Qt::ToolTipRole && index.isValid() && index.row() < m_rows.size())
        return CFragmentMediaCache::instance().toolTip(m_rows.at(index.row()), m_rows);
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

void CPlayListTableModel::deleteRows(const QList<int>& rows)
{
    std::vector<int> sorted;
    sorted.reserve(size_t(rows.size()));
    for (int r : rows)
        if (r >= 0 && r < m_rows.size())
            sorted.push_back(r);
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    // Rows in many runs (every tenth, say): one reset, the rest kept in order.
    if (tooManyRuns(sorted, 1)) {
        QMutexLocker locker(m_lock);
        beginResetModel();
        QList<SPlayListTableItem> kept;
        kept.reserve(m_rows.size() - int(sorted.size()));
        size_t k = 0;
        for (int r = 0; r < m_rows.size(); ++r) {
            if (k < sorted.size() && sorted[k] == r)
                ++k;
            else
                kept.append(m_rows.at(r));
        }
        m_rows.swap(kept);
        endResetModel();
        return;
    }
    // Runs from the highest down, so the rows of the runs still to go keep their numbers.
    size_t end = sorted.size();
    while (end > 0) {
        size_t begin = end - 1;
        while (begin > 0 && sorted[begin - 1] == sorted[begin] - 1)
            --begin;
        const int first = sorted[begin], last = sorted[end - 1];
        QMutexLocker locker(m_lock);
        beginRemoveRows(QModelIndex(), first, last);
        m_rows.erase(m_rows.begin() + first, m_rows.begin() + last + 1);
        endRemoveRows();
        end = begin;
    }
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
