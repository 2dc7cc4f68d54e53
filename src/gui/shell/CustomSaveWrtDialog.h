#pragma once

#include <QDialog>
#include <QStringList>

class QComboBox;

namespace Ui {
class CustomSaveWrtDialog;
}

// Asks which sensor is the world of a project being saved: a combo box of
// the sensor names (the first one current) and a "Save" button that accepts.
class CustomSaveWrtDialog : public QDialog {
    Q_OBJECT

public:
    explicit CustomSaveWrtDialog(const QStringList& sensorNames);
    ~CustomSaveWrtDialog() override;

    // The names in order; its current index is the chosen world.
    QComboBox* combo;

private:
    Ui::CustomSaveWrtDialog* ui;
};
