#include "gui/shell/CustomSaveWrtDialog.h"

#include "ui_CustomSaveWrtDialog.h"

CustomSaveWrtDialog::CustomSaveWrtDialog(const QStringList& sensorNames)
    : QDialog(nullptr), combo(nullptr), ui(new Ui::CustomSaveWrtDialog)
{
    ui->setupUi(this);
    combo = ui->combo_world;
    combo->addItems(sensorNames);
    combo->setCurrentIndex(sensorNames.isEmpty() ? -1 : 0);
    connect(ui->button_save, &QPushButton::clicked, this, &QDialog::accept);
}

CustomSaveWrtDialog::~CustomSaveWrtDialog()
{
    delete ui;
}
