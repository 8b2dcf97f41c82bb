// hwrename.h - the small modal dialog that asks for a board's new name: an edit
// (Edit1) and OK / Cancel buttons (Button1 / Button2). The control window's
// device menu creates it, sets its caption, runs it with exec() and renames the
// board when it closes with QDialog::Accepted (1, the OK result).
#pragma once

#include <QDialog>

#include "kinetrax.h"

class QLineEdit;
class QPushButton;

class TDlgRename : public QDialog {
    Q_OBJECT
public:
    // Builds the form only; the caller replaces the caption before showing it.
    explicit TDlgRename(QWidget *Owner);

    QLineEdit *Edit1;       // the new name; starts empty, no length limit
    QPushButton *Button1;   // "OK": default button, result 1 (Accepted)
    QPushButton *Button2;   // "Cancel" (also Esc / closing, and Enter while it has
                            // the focus): result 0 (Rejected)
};

// The dialog while one is being shown (set and cleared by its user), else NULL.
extern "C" KX_EXPORT TDlgRename *_DlgRename;
