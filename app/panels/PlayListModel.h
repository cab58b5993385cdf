#pragma once
// The fragment table behind the playlist and every merge list, and the view
// that copies its selected rows into another such view by drag and drop.

#include "scan/SFragmentFit.h"

#include <QAbstractTableModel>
#include <QList>
#include <QSortFilterProxyModel>
#include <QTableView>

#include <vector>

class QMutex;

// Rows in the order they were added; views sort through a proxy, never here.
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

// The proxy between a list and its view. It sorts exactly as
// QSortFilterProxyModel does by default (display texts compared as text,
// case-sensitive, not locale-aware), but compares the texts of columns 0 to 2
// without building strings: a sort of 100,000 rows compares some 1.7 million
// pairs.
//
// Sizes are also kept as a flat list of keys beside the model's rows, so a
// sort by size reads neither rows nor texts (rows live in heap nodes spread
// over memory; with 100,000 of them the sort would wait on the memory).
class CPlayListSortProxy : public QSortFilterProxyModel {
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void setSourceModel(QAbstractItemModel* model) override;

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    void rebuildKeys();
    // Thousandths of a MiB of each model row's size text, -1 where the text is
    // printf's own; in step with the model (updated before the base class
    // hears of a change).
    std::vector<qint64> m_sizeKeys;
};

// The rows carried by the drag in progress. A drag's mime data is empty: the
// rows travel only through this list.
extern QList<SPlayListTableItem> dragRows;

class DropTableView : public QTableView {
    Q_OBJECT
public:
    explicit DropTableView(QWidget* parent = nullptr);

    CPlayListTableModel* listModel = nullptr;
    QSortFilterProxyModel* sortProxy = nullptr;

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
