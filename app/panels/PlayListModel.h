#pragma once
// The fragment table behind the playlist and every merge list, and the view
// that copies its selected rows into another such view by drag and drop.

#include "scan/SFragmentFit.h"

#include <QAbstractProxyModel>
#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QTableView>

#include <vector>

class QMutex;

// Rows in the order they were added; views sort through a proxy
// (CPlayListSortProxy), never here.
// Rows are read by view position elsewhere only after mapping through the
// proxy: row n of this model is rows()[n].
class CPlayListTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    CPlayListTableModel();
    ~CPlayListTableModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    void addRow(const SFragmentFit& sFragmentFit, int serial);
    // Appends all rows, in order, with one announcement to the views: a sorted
    // proxy then places them in one pass instead of one pass per row.
    void addRows(const QList<SPlayListTableItem>& items);
    // Rows outside the model are ignored.
    void deleteRow(int row);
    // The given rows (any order; repeats and rows outside the model ignored),
    // each run of adjacent rows in one removal, the highest run first, or in
    // one reset when they form many runs: a view over a million rows makes a
    // pass over them per removal, not per row.
    void deleteRows(const QList<int>& rows);

    const QList<SPlayListTableItem>& rows() const { return m_rows; }
    // Row n (0 <= n < rowCount()).
    const SPlayListTableItem& rowAt(int row) const { return m_rows.at(row); }
    const SPlayListTableItem& item(int row) const { return m_rows.at(row); }

    // The display texts, also used where no model is at hand.
    static QString nameText(const SFragmentFit& f, int serial);
    static QString sizeText(qint64 totalBytes);
    // The display text of columns 0 to 2 (always Latin-1) written into buf
    // (at least 64 bytes); returns its length, or -1 for other columns.
    static int writeText(const SPlayListTableItem& row, int column, char* buf);

private:
    // SPlayListTableItem is larger than a pointer, so QList keeps each row in
    // its own heap node and list operations move pointers only.
    QList<SPlayListTableItem> m_rows;
    int m_columnCount = 4;
    QMutex* m_lock = nullptr;
};

// The proxy between a list and its view: the order the view shows. It sorts
// exactly as QSortFilterProxyModel does by default (display texts compared as
// text, case-sensitive, not locale-aware; a stable sort from the order shown
// before, rows that arrive placed after the equal rows already shown), but
// from a key per row computed once, so a million rows sort in one pass and a
// block of arriving rows is merged in without sorting the list again.
//
// A key is the start of the row's display text packed into 63 bits, and a
// low bit that tells the text goes on; only rows whose keys are equal and go
// on have their texts compared. Keys are kept for the sort column only.
class CPlayListSortProxy : public QAbstractProxyModel {
    Q_OBJECT
public:
    using QAbstractProxyModel::QAbstractProxyModel;
    void setSourceModel(QAbstractItemModel* model) override;

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    // Column titles also while the list is empty.
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QModelIndex mapToSource(const QModelIndex& proxyIndex) const override;
    QModelIndex mapFromSource(const QModelIndex& sourceIndex) const override;
    // Column -1: the model's own order (reversed when descending).
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // The order a click on another column's header sorts in (the header
    // asks); ascending unless set.
    void setInitialSortOrder(Qt::SortOrder order) { m_initialOrder = int(order); }

    int sortColumn() const { return m_column; }
    Qt::SortOrder sortOrder() const { return m_order; }

private:
    void sourceRowsInserted(int first, int last);
    void sourceRowsAboutToBeRemoved(int first, int last);
    void sourceRowsRemoved(int first, int last);
    void rebuildAll();
    // Keys of the sort column for model rows [first, last].
    void computeKeys(int first, int last, quint64* out);
    void rekeyAll();
    // The rows in `rows` (model rows, in their current order) sorted stably.
    void sortStable(std::vector<int>& rows) const;
    // <0, 0, >0: row a's text before, equal to, after row b's, ascending.
    int compareRows(int a, int b) const;
    bool shownBefore(int a, int b) const;
    int diskRank(const QByteArray& name);
    const std::vector<int>& sourceToProxy() const;

    const CPlayListTableModel* m_list = nullptr;
    int m_column = -1;
    Qt::SortOrder m_order = Qt::AscendingOrder;
    // View row -> model row; the model row's view row, rebuilt when asked
    // after a change (-1 for rows not shown yet). While stale, its storage
    // takes the next order as it is built.
    std::vector<int> m_proxyToSource;
    mutable std::vector<int> m_sourceToProxy;
    mutable bool m_sourceToProxyStale = true;
    // A removal scattered over the order is shown as one reset (set between
    // the source's two removal signals).
    bool m_removalResets = false;
    // Per model row, the key of the sort column (empty when unsorted).
    std::vector<quint64> m_keys;
    // The source texts seen, in text order, for the source column's keys.
    std::vector<QString> m_diskNames;
    QHash<QByteArray, int> m_diskRanks;
    int m_columns = 0;
    int m_initialOrder = -1;
    QList<QMetaObject::Connection> m_connections;
};

// The rows carried by the drag in progress. A drag's mime data is empty: the
// rows travel only through this list.
extern QList<SPlayListTableItem> dragRows;

class DropTableView : public QTableView {
    Q_OBJECT
public:
    explicit DropTableView(QWidget* parent = nullptr);

    CPlayListTableModel* listModel = nullptr;
    // The view's proxy, if any: view rows map to model rows through it.
    QAbstractProxyModel* sortProxy = nullptr;

    // Model rows of the selection in the order the selection model lists
    // them, each selected row once (whole-row selection lists it per column).
    QList<int> selectedModelRows() const;
    // Copies of those rows, in that order.
    QList<SPlayListTableItem> selectedItems() const;
    // Model rows in the order the view shows them.
    QList<int> displayedModelRows() const;

    // The drag rule: the left button held and the pointer (in view
    // coordinates) outside the view.
    bool dragWanted(Qt::MouseButtons buttons, const QPoint& viewPos) const;
    // Fills dragRows from the selection; false without a selection model.
    bool prepareDrag();
    // The accept rule: only another DropTableView.
    bool acceptsDragFrom(const QObject* source) const;
    // The drop rule: appends dragRows (when the source is accepted) and
    // empties it. Returns the number of rows added.
    int dropFrom(const QObject* source);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};
