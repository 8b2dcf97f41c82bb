// plugin_gui_test.cpp - the plug-in's windows in a host with a Qt application:
// the "USB Stepper motors" menu entry shows the one control window, "Setup
// Motor" runs the setup dialog, the host's "Exit" closes window and boards.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QTimer>

#include <filesystem>
#include <string>

#include <unistd.h>

#include "handler_cases.h"
#include "host_folder.h"
#include "hardware.h"
#include "kinetrax.h"
#include "motorstopped.h"
#include "qdxplugin.h"
#include "recording_host.h"
#include "simbus.h"

using namespace qdxtest;

namespace {

class PluginGuiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetTickTimerSuppressed(true);
        dir_ = PrepareHostFolder("/tmp/kx-plugin-gui-XXXXXX");
        ASSERT_FALSE(dir_.empty());
        host_ = MakeHost(18);
        ASSERT_EQ(_InitQdxPlugin(&host_), 0);
    }
    void TearDown() override
    {
        KxExitForTest();
        QdxHost = nullptr;
        std::memset(ConfigDir, 0, sizeof ConfigDir);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        SetTickTimerSuppressed(false);
    }
    void KxExitForTest()
    {
        if (Rec().exitCallback != nullptr)
            Rec().exitCallback();
    }

    // "Setup Motor" for `name`, the dialog answered with the button `button`
    // from inside its modal run.
    static int32_t SetupWith(const char *name, const char *button, int32_t *succes)
    {
        bool seen = false;
        QTimer::singleShot(0, [&] {
            QWidget *w = QApplication::activeModalWidget();
            if (w == nullptr)
                return;
            seen = true;
            if (auto *b = w->findChild<QPushButton *>(QString::fromLatin1(button)))
                b->click();
            else if (auto *d = qobject_cast<QDialog *>(w))
                d->reject();
        });
        Block out(0xAB);
        const int32_t r = Call("Setup Motor", NameIn(name), out);
        EXPECT_TRUE(seen) << "no dialog ran";
        *succes = out.Get<int32_t>(0);
        return r;
    }

    QdxHostFuncs host_;
    std::string dir_;
};

TEST_F(PluginGuiTest, MenuEntryShowsTheOneControlWindowAndExitClosesIt)
{
    ASSERT_NE(Rec().menuCallback, nullptr);
    Rec().menuCallback();
    TDlgTavel *first = _DlgTavel;
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(_IsSetupWinVisible());
    Rec().menuCallback();
    EXPECT_EQ(_DlgTavel, first) << "a second window";

    Rec().exitCallback();
    EXPECT_EQ(_DlgTavel, nullptr);
    EXPECT_EQ(DeviceList.Size(), 0u);
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/SER0.hws"));
}

TEST_F(PluginGuiTest, SetupMotorRunsTheDialog)
{
    int32_t succes = -1;
    EXPECT_EQ(SetupWith("X-axis", "Button2", &succes), 0);   // Cancel
    EXPECT_EQ(succes, 0);
    EXPECT_EQ(SetupWith("X-axis", "Button1", &succes), 0);   // OK
    EXPECT_EQ(succes, 1);
}

}   // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
