// probe_gridmod.cpp - a stand-in libgridmod.so for the end-to-end run of the
// real ordomat binary. It records the table calls and, once the program's
// window lists its tables, reports the rows and walks "Manager" > "Close" and
// "Manager" > "Open..." through the window's own actions. Every report is one
// line appended to the file named by ORDOMAT_PROBE_OUT.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <dlfcn.h>

#include <QAction>
#include <QCoreApplication>
#include <QTimer>
#include <QTreeWidget>

#include "gridmod.h"
#include "mngwin.h"

namespace {

void Report(const std::string &line)
{
    const char *path = std::getenv("ORDOMAT_PROBE_OUT");
    if (!path)
        return;
    if (FILE *f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

template <class F> F Symbol(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name)); }

int stage = 0;

void Poll(QTimer *timer)
{
    auto **util = Symbol<TDlgUtil **>("_DlgUtil");
    if (!util || !*util)
        return;
    QWidget *window = *util;
    auto *list = window->findChild<QTreeWidget *>("LvTables");
    auto *close = window->findChild<QAction *>("mmMngClose");
    auto *open = window->findChild<QAction *>("mmMngOpen");
    auto count = Symbol<unsigned (*)()>("_SM_GetCountInAll");
    if (!list || !close || !open || !count)
        return;
    if (stage == 0 && list->topLevelItemCount() >= 2) {
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            QTreeWidgetItem *row = list->topLevelItem(i);
            Report("row " + row->text(0).toStdString() + "=" + row->data(0, Qt::UserRole).toString().toStdString());
        }
        Report("motors " + std::to_string(count()));
        close->trigger();
        Report("closed motors " + std::to_string(count()));
        open->trigger();
        stage = 1;
    } else if (stage == 1 && count() > 0) {
        Report("reopened motors " + std::to_string(count()));
        stage = 2;
        timer->stop();
    }
}

void Start()
{
    auto *timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(50);
    QObject::connect(timer, &QTimer::timeout, timer, [timer] { Poll(timer); });
    timer->start();
}

}   // namespace

Q_COREAPP_STARTUP_FUNCTION(Start)

extern "C" {
void _ShowTableWin(int32_t table) { Report("_ShowTableWin " + std::to_string(table)); }
void _CloseTableWin(void) { Report("_CloseTableWin"); }
void _RemoveTable(int32_t table) { Report("_RemoveTable " + std::to_string(table)); }
void _SaveTableSettings(int32_t table, const char *name)
{
    Report("_SaveTableSettings " + std::to_string(table) + " " + (name ? name : ""));
}
}
