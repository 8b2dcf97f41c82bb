// tablewin.h - the table library's one window: the number and name of one
// table (or of a new one), with "Save" and "Close".
#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace gridmod {

class TableWin : public QWidget {
    Q_OBJECT
public:
    TableWin();
    // Shows table `table` (-1: a new table) with its name from the file.
    void ShowTable(int table);
    // The table shown; -1 for a new one.
    int Table() const { return table_; }
    // Shows `name` in the name field when it shows table `table`.
    void NameSaved(int table, const QString &name);

private:
    void Save();

    int table_ = -1;
    QLabel *LTable;
    QLineEdit *EbName;
    QPushButton *BttnSave;
    QPushButton *BttnClose;
};

}   // namespace gridmod
