// tablewin.cpp - the table library's window (see tablewin.h).
#include "tablewin.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "inifile.h"

namespace gridmod {

TableWin::TableWin()
{
    setObjectName("TableWin");
    setWindowTitle("Table");
    LTable = new QLabel(this);
    LTable->setObjectName("LTable");
    EbName = new QLineEdit(this);
    EbName->setObjectName("EbName");
    BttnSave = new QPushButton("Save", this);
    BttnSave->setObjectName("BttnSave");
    BttnClose = new QPushButton("Close", this);
    BttnClose->setObjectName("BttnClose");
    auto *grid = new QGridLayout(this);
    grid->addWidget(LTable, 0, 0, 1, 2);
    grid->addWidget(new QLabel("Name:", this), 1, 0);
    grid->addWidget(EbName, 1, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BttnSave);
    buttons->addWidget(BttnClose);
    grid->addLayout(buttons, 2, 0, 1, 2);
    connect(BttnSave, &QPushButton::clicked, this, &TableWin::Save);
    connect(BttnClose, &QPushButton::clicked, this, &QWidget::close);
    resize(300, 110);
}

void TableWin::ShowTable(int table)
{
    table_ = table < 0 ? -1 : table;
    if (table_ < 0) {
        LTable->setText("New table");
        EbName->clear();
    } else {
        LTable->setText(QString::fromStdString(SectionName(table_)));
        auto name = ReadTableName(kTableFile, table_);
        EbName->setText(QString::fromStdString(name.value_or("")));
    }
    show();
    raise();
    activateWindow();
}

void TableWin::NameSaved(int table, const QString &name)
{
    if (table >= 0 && table == table_)
        EbName->setText(name);
}

void TableWin::Save()
{
    int table = table_;
    if (table < 0)
        table = FreeTableNumber(kTableFile);
    if (table < 0) {
        QMessageBox::critical(this, "Error", "No free table number (table_00 to table_99 are in use).");
        return;
    }
    if (!SaveTableName(kTableFile, table, EbName->text().toStdString())) {
        QMessageBox::critical(this, "Error", QString("Can't save %1!").arg(kTableFile));
        return;
    }
    table_ = table;
    LTable->setText(QString::fromStdString(SectionName(table_)));
}

}   // namespace gridmod
