// mngwin_fixture.h - the fixture of the utility's window tests: a scratch
// current directory with "configs/", the recording table library reset, the
// simulated bus reset, and helpers to write the table file, make the window
// and reach its rows.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "gridmod_double.h"
#include "kinetrax.h"
#include "mngwin.h"
#include "simbus.h"

using gmdouble::Calls;
using Calls_t = std::vector<gmdouble::Call>;

class Util : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QDir().mkpath("configs");
        simbus::Reset();
        Calls().clear();
        gmdouble::SetHook(nullptr);
    }
    void TearDown() override
    {
        delete w;
        KxExit();
        gmdouble::SetHook(nullptr);
        QDir::setCurrent(old);
    }
    void WriteTables(const std::string &text)
    {
        std::ofstream out("configs/gridmod.ini", std::ios::binary | std::ios::trunc);
        out << text;
    }
    // The window with its timer stopped: tests reload by calling its handler.
    TDlgUtil *Make()
    {
        w = new TDlgUtil;
        w->RTimer->stop();
        return w;
    }
    void Select(int row) { w->LvTables->setCurrentItem(w->LvTables->topLevelItem(row)); }
    QString Text(int row) { return w->LvTables->topLevelItem(row)->text(0); }
    // The centre of a row, in screen coordinates.
    QPoint RowOnScreen(int row)
    {
        QRect r = w->LvTables->visualItemRect(w->LvTables->topLevelItem(row));
        return w->LvTables->viewport()->mapToGlobal(r.center());
    }
    void ShowWindow()
    {
        w->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    }

    QTemporaryDir dir;
    QString old;
    TDlgUtil *w = nullptr;
};
