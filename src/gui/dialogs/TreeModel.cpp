#include "gui/dialogs/TreeModel.h"

int TreeItem::itemIdCounter = 0;

TreeItem::TreeItem(TreeItem* parent_) : id(itemIdCounter++), parent(parent_) {}

bool TreeItem::insertChild(int row)
{
    if (row < 0 || row > childCount())
        return false;
    children.insert(children.begin() + row, std::make_unique<TreeItem>(this));
    return true;
}

int TreeItem::childRow(const TreeItem* child) const
{
    for (size_t i = 0; i < children.size(); ++i)
        if (children[i].get() == child)
            return static_cast<int>(i);
    return -1;
}

TreeItem* TreeItem::child(int row) const
{
    return row >= 0 && row < childCount() ? children[static_cast<size_t>(row)].get() : nullptr;
}

TreeModel::TreeModel(QObject* parent) : QAbstractItemModel(parent), rootItem(std::make_unique<TreeItem>()) {}

TreeModel::~TreeModel() = default;

TreeItem* TreeModel::itemOf(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<TreeItem*>(index.internalPointer()) : rootItem.get();
}

QModelIndex TreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (column < 0 || column >= columns || (parent.isValid() && parent.model() != this))
        return QModelIndex();
    TreeItem* child = itemOf(parent)->child(row);
    return child ? createIndex(row, column, child) : QModelIndex();
}

QModelIndex TreeModel::parent(const QModelIndex& index) const
{
    if (!index.isValid())
        return QModelIndex();
    const TreeItem* item = itemOf(index);
    TreeItem* parentItem = item->parent;
    if (!parentItem || parentItem == rootItem.get())
        return QModelIndex();
    return createIndex(parentItem->parent->childRow(parentItem), 0, parentItem);
}

int TreeModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return itemOf(parent)->childCount();
}

int TreeModel::columnCount(const QModelIndex&) const
{
    return columns;
}

QVariant TreeModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return QVariant();
    return itemOf(index)->data.value(role);
}

bool TreeModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!index.isValid())
        return false;
    itemOf(index)->data[role] = value;
    emit dataChanged(index, index);
    return true;
}

QVariant TreeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < headers.size())
        return headers[section];
    return QVariant();
}

Qt::ItemFlags TreeModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    if (index.parent().isValid())
        return Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    return Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsEnabled;
}

void TreeModel::clearItems()
{
    beginResetModel();
    rootItem->children.clear();
    rootItem->data.clear();
    endResetModel();
}

bool TreeModel::insertItem(int row, const QModelIndex& parent)
{
    if (parent.isValid() && (parent.model() != this || parent.parent().isValid()))
        return false;
    TreeItem* item = itemOf(parent);
    if (row < 0 || row > item->childCount())
        return false;
    beginInsertRows(parent, row, row);
    const bool inserted = item->insertChild(row);
    endInsertRows();
    return inserted;
}
