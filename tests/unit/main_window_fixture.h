// A main window of its own for each test: fresh Config and Logger, run flags
// cleared, the window created from template 103 and set up as start-up does.
#pragma once
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include "app/app.h"
#include "log/log.h"
#include "power/power.h"
#include "res/resource.h"
#include "settings/settings.h"
#include "results/results.h"
#include "ui/ui.h"

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedConfig_ = theConfig;
        savedLogger_ = theLogger;
        savedCaps_ = gPowerCaps;
        savedCapsValid_ = gPowerCapsValid;
        theConfig = new Config(GetModuleHandleA(nullptr));
        theConfig->settings.logToFile = 0;
        theConfig->settings.logLevel = 0;
        theLogger = new Logger();
        ApplyLogSettings(&theConfig->settings);
        gAppInstance = GetModuleHandleA(nullptr);
        gQuitRequested = 0;
        gStopRequested = 0;
        gPaused = 0;
        gWheelDelta = 0;
        SetCaps(true, false, false, true, true, true);
    }

    void TearDown() override {
        CloseWindow();
        delete theLogger;
        delete theConfig;
        theLogger = savedLogger_;
        theConfig = savedConfig_;
        gPowerCaps = savedCaps_;
        gPowerCapsValid = savedCapsValid_;
        gMainWindow = nullptr;
        gQuitRequested = 0;
        gStopRequested = 0;
        gPaused = 0;
    }

    void SetCaps(bool s1, bool s2, bool s3, bool s4, bool hiberFile, bool fullWake) {
        memset(&gPowerCaps, 0, sizeof(gPowerCaps));
        gPowerCaps.SystemS1 = s1;
        gPowerCaps.SystemS2 = s2;
        gPowerCaps.SystemS3 = s3;
        gPowerCaps.SystemS4 = s4;
        gPowerCaps.HiberFilePresent = hiberFile;
        gPowerCaps.FullWake = fullWake;
        gPowerCapsValid = 1;
    }

    // Creates the window as start-up does, hidden unless asked.
    HWND OpenWindow(bool show = false) {
        window_ = CreateDialogParamA(gAppInstance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
        EXPECT_TRUE(window_ != nullptr);
        gMainWindow = window_;
        InitMainWindow(window_);
        if (show) ShowWindow(window_, SW_SHOWNORMAL);
        Pump();
        return window_;
    }

    void CloseWindow() {
        if (window_ && IsWindow(window_)) DestroyWindow(window_);
        window_ = nullptr;
        DrainQueue();
    }

    // Dispatches what is queued for this thread, as the message loop would.
    static void Pump() {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quitSeen_ = true;
                continue;
            }
            if (!gMainWindow || !IsDialogMessageA(gMainWindow, &message)) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
        }
    }

    // Takes everything off the queue; true when a quit message was among it.
    static bool DrainQueue() {
        quitSeen_ = false;
        Pump();
        bool seen = quitSeen_;
        quitSeen_ = false;
        return seen;
    }

    HWND Item(int id) const { return GetDlgItem(window_, id); }
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    bool Checked(int id) const { return IsDlgButtonChecked(window_, id) == BST_CHECKED; }
    std::string Text(int id) const {
        char text[512] = "";
        GetDlgItemTextA(window_, id, text, sizeof(text));
        return text;
    }
    // A click as the user makes it: the control changes its check and tells the window.
    void Click(int id) { SendMessageA(Item(id), BM_CLICK, 0, 0); }

    void LogLines(int count, const char* prefix = "line") {
        char text[64];
        for (int i = 0; i < count; i++) {
            snprintf(text, sizeof(text), "%s %d", prefix, i);
            LogMessage(text, LOG_INFO);
        }
    }

    HWND window_ = nullptr;
    static inline bool quitSeen_ = false;

private:
    Config* savedConfig_ = nullptr;
    Logger* savedLogger_ = nullptr;
    SYSTEM_POWER_CAPABILITIES savedCaps_;
    int savedCapsValid_ = 0;
};
