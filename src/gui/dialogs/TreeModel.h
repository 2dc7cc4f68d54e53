#pragma once

// A two-level item model of checkable image sets and their images: the
// top-level rows are the sets (checkable), their children the images. Every
// value is stored by item data role; the model knows nothing of images or
// calibration. The parent of a top-level row is the invalid index, as Qt's
// model contract asks.

#include <QAbstractItemModel>
#include <QMap>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <vector>

// Role of an image row that holds the image file's full path.
constexpr int PathRole = Qt::UserRole;

class TreeItem {
public:
    explicit TreeItem(TreeItem* parent = nullptr);

    // Inserts an empty child at row; false when row is outside 0 .. childCount.
    bool insertChild(int row);
    // Position of the child among this item's children; -1 when it is none of them.
    int childRow(const TreeItem* child) const;
    int childCount() const { return static_cast<int>(children.size()); }
    TreeItem* child(int row) const;

    int id;
    TreeItem* parent;
    QMap<int, QVariant> data;
    std::vector<std::unique_ptr<TreeItem>> children; // owned; their parent pointers stay valid

private:
    static int itemIdCounter;
};

class TreeModel : public QAbstractItemModel {
    Q_OBJECT

public:
    explicit TreeModel(QObject* parent = nullptr);
    ~TreeModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Removes every set and image.
    void clearItems();
    // Inserts an empty row at row under parent (the invalid index for a set);
    // false, with nothing announced, when row is outside 0 .. rowCount(parent)
    // or parent is an image row.
    bool insertItem(int row, const QModelIndex& parent = QModelIndex());

private:
    TreeItem* itemOf(const QModelIndex& index) const;

    int columns = 1;
    QStringList headers{"Image"};
    std::unique_ptr<TreeItem> rootItem;
};
