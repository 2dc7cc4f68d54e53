#include "gui/dialogs/TreeModel.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>

namespace {

// Three sets of 2, 0 and 3 images.
void fill(TreeModel& model)
{
    const int counts[3] = {2, 0, 3};
    for (int s = 0; s < 3; ++s) {
        ASSERT_TRUE(model.insertItem(s));
        const QModelIndex set = model.index(s, 0);
        model.setData(set, QString("pose%1").arg(s), Qt::DisplayRole);
        model.setData(set, Qt::Checked, Qt::CheckStateRole);
        for (int i = 0; i < counts[s]; ++i) {
            ASSERT_TRUE(model.insertItem(i, set));
            model.setData(model.index(i, 0, set), QString("/sets/pose%1/%2.png").arg(s).arg(i), PathRole);
        }
    }
}

} // namespace

TEST(TreeModel, KeepsQtsModelContract)
{
    TreeModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    fill(model);
    model.setData(model.index(1, 0, model.index(2, 0)), QColor(Qt::white), Qt::BackgroundRole);
    ASSERT_TRUE(model.insertItem(0)); // a set in front moves the others down
    model.clearItems();
    fill(model);
    EXPECT_EQ(model.rowCount(), 3);
}

TEST(TreeModel, ParentsIndicesAndFlags)
{
    TreeModel model;
    fill(model);
    const QModelIndex set = model.index(2, 0);
    ASSERT_TRUE(set.isValid());
    EXPECT_FALSE(set.parent().isValid()); // a set row's parent is the invalid index
    const QModelIndex image = model.index(1, 0, set);
    EXPECT_EQ(image.parent(), set);
    EXPECT_EQ(model.data(image, PathRole).toString(), "/sets/pose2/1.png");

    EXPECT_TRUE(model.flags(set) & Qt::ItemIsUserCheckable);
    EXPECT_FALSE(model.flags(image) & Qt::ItemIsUserCheckable);
    EXPECT_TRUE(model.flags(image) & Qt::ItemIsSelectable);
    EXPECT_EQ(model.flags(QModelIndex()), Qt::NoItemFlags);

    // Rows and columns out of range give the invalid index.
    for (const auto& [row, col, parent] : {std::make_tuple(5, 0, set), std::make_tuple(3, 0, QModelIndex()),
                                           std::make_tuple(-1, 0, set), std::make_tuple(0, 1, set)}) {
        SCOPED_TRACE(QString("row %1 column %2").arg(row).arg(col).toStdString());
        const QModelIndex out = model.index(row, col, parent);
        EXPECT_FALSE(out.isValid());
        EXPECT_FALSE(model.data(out, Qt::DisplayRole).isValid());
        EXPECT_FALSE(model.setData(out, "x", Qt::DisplayRole));
    }
    EXPECT_EQ(model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "Image");
    EXPECT_FALSE(model.headerData(0, Qt::Vertical, Qt::DisplayRole).isValid());
    EXPECT_FALSE(model.headerData(1, Qt::Horizontal, Qt::DisplayRole).isValid());
}

TEST(TreeModel, InsertChecksTheRowBeforeAnnouncingIt)
{
    TreeModel model;
    fill(model);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy aboutToInsert(&model, &QAbstractItemModel::rowsAboutToBeInserted);
    EXPECT_FALSE(model.insertItem(5));
    EXPECT_FALSE(model.insertItem(-1));
    EXPECT_FALSE(model.insertItem(4, model.index(0, 0)));
    EXPECT_FALSE(model.insertItem(0, model.index(0, 0, model.index(0, 0)))); // images have no children
    EXPECT_EQ(inserted.count(), 0);
    EXPECT_EQ(aboutToInsert.count(), 0);
    EXPECT_EQ(model.rowCount(), 3);

    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    EXPECT_TRUE(model.setData(model.index(0, 0), Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(model.data(model.index(0, 0), Qt::CheckStateRole).toInt(), Qt::Unchecked);
}

// Items are held by pointer: inserting rows in front of a set keeps its
// images' parent, so their indices still lead back to the right set.
TEST(TreeModel, InsertingInFrontKeepsTheChildrensParents)
{
    TreeModel model;
    fill(model);
    for (int k = 0; k < 20; ++k)
        ASSERT_TRUE(model.insertItem(0));
    const QModelIndex set = model.index(22, 0);
    EXPECT_EQ(model.data(set).toString(), "pose2");
    const QModelIndex image = model.index(2, 0, set);
    EXPECT_EQ(image.parent().row(), 22);
    EXPECT_EQ(model.data(image.parent()).toString(), "pose2");
    EXPECT_EQ(model.data(image, PathRole).toString(), "/sets/pose2/2.png");

    TreeItem root;
    ASSERT_TRUE(root.insertChild(0));
    ASSERT_TRUE(root.insertChild(0));
    EXPECT_NE(root.child(0)->id, root.child(1)->id);
    EXPECT_EQ(root.childRow(root.child(1)), 1);
    TreeItem stranger;
    EXPECT_EQ(root.childRow(&stranger), -1);
    EXPECT_FALSE(root.insertChild(3));
}
