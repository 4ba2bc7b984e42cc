// The real main window over the real controller, the receiver access
// library on the simulated receiver and the multiplexer module, for tests.
#pragma once

#include "aspi_virtual.h"
#include "binding/ReceiverLibrary.h"
#include "binding/RemuxerBinding.h"
#include "controller/CRecorderApp.h"
#include "controller/CRecorderDlg.h"
#include "controller/testing/MemorySettingsStore.h"
#include "platform/DynamicLibrary.h"
#include "platform/testing/TestFiles.h"
#include "qtglue/QtTickSource.h"
#include "ui/MainWindow.h"
#include "ui/ModalHooks.h"

#include <QApplication>
#include <QMetaObject>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace quelmar::testing {

inline const std::string kBin = QUELMAR_BIN_DIR;

// Runs posted tasks through the Qt event loop, as the program does.
class QtTestDispatcher : public UiDispatcher {
public:
    void Post(std::function<void()> task) override
    {
        QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
    }
};

// Limit for waiting on something the window or the recording does (a guard
// against a hanging test, not a measurement).
inline constexpr int kWaitLimitMs = 20000;

// Processes events until `done` holds; false when the limit passed first.
inline bool WaitFor(const std::function<bool()> &done) { return QTest::qWaitFor(done, kWaitLimitMs); }

class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        setenv("QUELMAR_ASPI_LAYER", (kBin + "/libaspi-virtual.so").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
        ASSERT_TRUE(control_.Load(kBin + "/libaspi-virtual.so")) << control_.Error();
        reload_ = reinterpret_cast<AspiVirtualReloadFn>(control_.Symbol("aspiVirtualReload"));
        setPlugged_ = reinterpret_cast<AspiVirtualSetPluggedFn>(control_.Symbol("aspiVirtualSetPlugged"));
        getState_ = reinterpret_cast<AspiVirtualGetStateFn>(control_.Symbol("aspiVirtualGetState"));
        ASSERT_TRUE(reload_ && setPlugged_ && getState_);
        ASSERT_EQ(reload_(nullptr), 1);
        app_.m_strProgramDir = kBin;
        app_.m_strFile = (dir_ / "rec").string();
    }

    void TearDown() override
    {
        SetMessageBoxHook({});
        SetSaveDialogHook({});
        CloseWindow();
        unsetenv("QUELMAR_OS_FAMILY");
        if (!HasFailure())
            std::filesystem::remove_all(dir_);
    }

    // Builds the window and its controller and runs the start-up; with
    // `receiver` false the receiver is unplugged first.
    void OpenWindow(bool receiver = true)
    {
        if (!receiver)
            setPlugged_(kAdapter, kTarget, 0);
        window_ = std::make_unique<MainWindow>();
        CRecorderDlg::Setup setup = MakeSetup();
        setup.supervisionTicks = &ticks_;
        dlg_ = std::make_unique<CRecorderDlg>(app_, *window_, dispatcher_, std::move(setup));
        window_->Attach(*dlg_);
        window_->show();
        dlg_->OnInitDialog();
    }

    // The program's modules from the build's program folder.
    CRecorderDlg::Setup MakeSetup() const
    {
        CRecorderDlg::Setup setup;
        setup.makeReceiver = [] { return std::make_unique<ReceiverLibrary>(kBin + "/libquelmarscsi.so"); };
        setup.makeRemuxer = [] { return std::make_unique<RemuxerBinding>(kBin + "/libremuxer.so"); };
        setup.rescanHelperPath = helperPath_;
        return setup;
    }

    // Stops a recording that still runs, then destroys controller and window.
    void CloseWindow()
    {
        if (dlg_ && dlg_->RecordingBusy()) {
            if (dlg_->RecordingActive())
                dlg_->OnStop();
            EXPECT_TRUE(WaitFor([this] { return !dlg_->RecordingBusy(); }));
        }
        if (window_)
            window_->Detach();
        dlg_.reset();
        window_.reset();
    }

    template <typename T = QWidget>
    T *Widget(ControlId id) const
    {
        return window_->findChild<T *>(QString::number(static_cast<int>(id)));
    }

    // Where the built-in simulated receiver sits.
    static constexpr uint8_t kAdapter = 0;
    static constexpr uint8_t kTarget = 3;

    std::filesystem::path dir_;
    std::string helperPath_ = kBin + "/halvane";
    DynamicLibrary control_;
    AspiVirtualReloadFn reload_ = nullptr;
    AspiVirtualSetPluggedFn setPlugged_ = nullptr;
    AspiVirtualGetStateFn getState_ = nullptr;
    CRecorderApp app_{[](PriorityClass) {}}; // the test's own priority stays
    QtTestDispatcher dispatcher_;
    QtTickSource ticks_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<CRecorderDlg> dlg_;
};

} // namespace quelmar::testing
