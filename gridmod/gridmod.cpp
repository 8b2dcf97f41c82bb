// gridmod.cpp - the exported functions of the table library stand-in.
#include "gridmod.h"

#include <QApplication>
#include <QPointer>

#include "inifile.h"
#include "tablewin.h"

namespace {

// The one table window; it lives on the GUI thread that made it.
QPointer<gridmod::TableWin> window;

bool HaveGui() { return qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr; }

void DeleteWindow() { delete window.data(); }

// Runs when the application object goes; a later one registers again.
bool routineSet = false;
void AtAppEnd()
{
    routineSet = false;
    DeleteWindow();
}

bool ValidTable(int32_t table) { return table >= 0 && table <= 99; }

}   // namespace

extern "C" {

void _ShowTableWin(int32_t table)
{
    if (!HaveGui())
        return;
    if (table != -1 && !ValidTable(table))
        return;
    if (!window) {
        window = new gridmod::TableWin;
        // The window must go before the application object does.
        if (!routineSet) {
            qAddPostRoutine(AtAppEnd);
            routineSet = true;
        }
    }
    window->ShowTable(table);
}

void _CloseTableWin(void) { DeleteWindow(); }

void _RemoveTable(int32_t table)
{
    if (!ValidTable(table))
        return;
    gridmod::RemoveTable(gridmod::kTableFile, table);
    if (window && window->Table() == table)
        DeleteWindow();
}

void _SaveTableSettings(int32_t table, const char *name)
{
    if (!ValidTable(table))
        return;
    std::string text = name ? name : "";
    if (gridmod::SaveTableName(gridmod::kTableFile, table, text) && window)
        window->NameSaved(table, QString::fromStdString(text));
}

}   // extern "C"
