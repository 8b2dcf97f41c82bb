// hwrename.cpp - the rename dialog's form: a 186 x 70 fixed dialog with the
// name edit and the OK / Cancel buttons.
#include "hwrename.h"

#include <QLineEdit>
#include <QPushButton>

TDlgRename *_DlgRename = nullptr;

TDlgRename::TDlgRename(QWidget *Owner) : QDialog(Owner)
{
    setObjectName(QStringLiteral("DlgRename"));
    // A dialog frame: no resize grip, no minimise / maximise, no help button.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(186, 70);

    Edit1 = new QLineEdit(this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(0, 8, 185, 21);

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(32, 40, 59, 21);
    Button1->setDefault(true);
    Button1->setAutoDefault(true);

    Button2 = new QPushButton(QStringLiteral("Cancel"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(96, 40, 59, 21);
    // Enter on the focused Cancel cancels; in the edit it is OK's.
    Button2->setAutoDefault(true);

    setTabOrder(Edit1, Button1);
    setTabOrder(Button1, Button2);

    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}
