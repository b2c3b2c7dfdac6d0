// The main window's commands, states and capability lines.
#include "main_window_fixture.h"

namespace {

std::string SandboxFile(const char* name) {
    char folder[MAX_PATH];
    GetExecutableFolder(nullptr, folder, sizeof(folder));
    std::string path = std::string(folder) + "\\..\\sandbox";
    CreateDirectoryA(path.c_str(), nullptr);
    path += std::string("\\") + name;
    DeleteFileA(path.c_str());
    return path;
}

}  // namespace

TEST_F(MainWindowTest, CapabilityLines) {
    // S4 reported but no hibernation file: S4 does not count.
    SetCaps(true, false, true, true, false, true);
    OpenWindow();
    EXPECT_EQ(Text(IDC_SUPPORTED_STATES), "Supported Power States: S1 S3 ");
    EXPECT_EQ(Text(IDC_FULL_WAKE), "Full Wake: Supported");
    CloseWindow();

    SetCaps(false, true, false, true, true, false);
    OpenWindow();
    EXPECT_EQ(Text(IDC_SUPPORTED_STATES), "Supported Power States: S2 S4 ");
    EXPECT_EQ(Text(IDC_FULL_WAKE), "Full Wake: Unsupported");
    CloseWindow();

    SetCaps(false, false, false, false, false, false);
    OpenWindow();
    EXPECT_EQ(Text(IDC_SUPPORTED_STATES), "Supported Power States: ");
    CloseWindow();

    // The capability query failed: the template's texts stay.
    SetCaps(true, true, true, true, true, true);
    gPowerCapsValid = 0;
    OpenWindow();
    EXPECT_EQ(Text(IDC_SUPPORTED_STATES), "Supported Power States:");
    EXPECT_EQ(Text(IDC_FULL_WAKE), "Full Wake:");
}

TEST_F(MainWindowTest, InitialStateFollowsTheSettings) {
    const uint8_t use[4] = {0, 1, 0, 1};
    memcpy(theConfig->settings.useState, use, 4);
    OpenWindow();
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(Checked(STATE_BOXES[i]), use[i] == 1) << i;
        EXPECT_TRUE(Enabled(STATE_BOXES[i])) << i;
    }
    EXPECT_FALSE(Checked(IDC_ALL_SUPPORTED));
    EXPECT_TRUE(Enabled(IDC_SLEEP_NOW));
    EXPECT_TRUE(Enabled(IDC_CONFIGURATION));
    EXPECT_FALSE(Enabled(IDC_STOP_CYCLE));
    EXPECT_FALSE(Enabled(IDC_PAUSE));
    EXPECT_EQ(Text(IDC_PAUSE), "Pause");
}

TEST_F(MainWindowTest, AllSupportedStatesOnAnS3OnlyMachine) {
    SetCaps(false, false, true, false, false, false);
    memcpy(theConfig->settings.useState, "\1\1\0\1", 4);
    OpenWindow();
    Click(IDC_ALL_SUPPORTED);
    ASSERT_TRUE(Checked(IDC_ALL_SUPPORTED));
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(Checked(STATE_BOXES[i]), i == 2) << i;
        EXPECT_EQ(theConfig->settings.useState[i], i == 2 ? 1 : 0) << i;
        EXPECT_FALSE(Enabled(STATE_BOXES[i])) << i;
    }
    // Unticked: the boxes come back with their ticks as they are.
    Click(IDC_ALL_SUPPORTED);
    EXPECT_FALSE(Checked(IDC_ALL_SUPPORTED));
    for (int i = 0; i < 4; i++) {
        EXPECT_TRUE(Enabled(STATE_BOXES[i])) << i;
        EXPECT_EQ(Checked(STATE_BOXES[i]), i == 2) << i;
        EXPECT_EQ(theConfig->settings.useState[i], i == 2 ? 1 : 0) << i;
    }
}

TEST_F(MainWindowTest, StateBoxesFollowTheirTickAndReleaseAllSupported) {
    SetCaps(true, false, true, true, true, true);
    memcpy(theConfig->settings.useState, "\1\0\0\0", 4);
    OpenWindow();
    CheckDlgButton(window_, IDC_ALL_SUPPORTED, BST_CHECKED);
    Click(IDC_STATE_S2);
    EXPECT_FALSE(Checked(IDC_ALL_SUPPORTED));
    EXPECT_EQ(theConfig->settings.useState[1], 1);

    CheckDlgButton(window_, IDC_ALL_SUPPORTED, BST_CHECKED);
    Click(IDC_STATE_S1);  // ticked before: now unticked
    EXPECT_FALSE(Checked(IDC_ALL_SUPPORTED));
    EXPECT_EQ(theConfig->settings.useState[0], 0);
    EXPECT_EQ(theConfig->settings.useState[1], 1);
    EXPECT_EQ(theConfig->settings.useState[2], 0);
}

TEST_F(MainWindowTest, PauseTwiceAndStopCycleWhilePaused) {
    OpenWindow();
    // As a run leaves the window.
    EnableWindow(Item(IDC_PAUSE), TRUE);
    Click(IDC_PAUSE);
    EXPECT_EQ(gPaused, 1);
    EXPECT_EQ(Text(IDC_PAUSE), "Unpause");
    EXPECT_TRUE(Checked(IDC_PAUSE));
    Click(IDC_PAUSE);
    EXPECT_EQ(gPaused, 0);
    EXPECT_EQ(Text(IDC_PAUSE), "Pause");
    EXPECT_FALSE(Checked(IDC_PAUSE));

    // A paused run, then Stop Cycle.
    for (int id : STATE_BOXES) EnableWindow(Item(id), FALSE);
    EnableWindow(Item(IDC_ALL_SUPPORTED), FALSE);
    EnableWindow(Item(IDC_SLEEP_NOW), FALSE);
    EnableWindow(Item(IDC_CONFIGURATION), FALSE);
    EnableWindow(Item(IDC_STOP_CYCLE), TRUE);
    Click(IDC_PAUSE);
    ASSERT_EQ(gPaused, 1);
    Click(IDC_STOP_CYCLE);
    EXPECT_EQ(gPaused, 0);
    EXPECT_EQ(gStopRequested, 1);
    EXPECT_FALSE(Checked(IDC_PAUSE));
    EXPECT_EQ(Text(IDC_PAUSE), "Pause");
    EXPECT_FALSE(Enabled(IDC_PAUSE));
    EXPECT_FALSE(Enabled(IDC_STOP_CYCLE));
    EXPECT_TRUE(Enabled(IDC_SLEEP_NOW));
    EXPECT_TRUE(Enabled(IDC_CONFIGURATION));
    EXPECT_TRUE(Enabled(IDC_ALL_SUPPORTED));
    for (int id : STATE_BOXES) EXPECT_TRUE(Enabled(id)) << id;
    char line[LOG_LINE_SIZE];
    int level = -1;
    ASSERT_TRUE(theLogger->CopyLine(theLogger->GetLineCount() - 1, line, sizeof(line), &level));
    EXPECT_EQ(level, LOG_INFO);
    EXPECT_TRUE(strstr(line, "Cycle was stopped") != nullptr) << line;
}

TEST_F(MainWindowTest, ButtonsReturnToIdleWithAllSupportedKeepingTheBoxesLocked) {
    OpenWindow();
    Click(IDC_ALL_SUPPORTED);
    EnableWindow(Item(IDC_STOP_CYCLE), TRUE);
    Click(IDC_STOP_CYCLE);
    for (int id : STATE_BOXES) EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_TRUE(Enabled(IDC_ALL_SUPPORTED));

    // Sleep Now returns to the same idle look and clears the stop request
    // (a run of no cycles: nothing sleeps).
    theConfig->settings.cycleCount = 0;
    SetConfigText(theConfig->configFilePath, SandboxFile("sleepnow.dat").c_str());
    gStopRequested = 1;
    Click(IDC_SLEEP_NOW);
    EXPECT_EQ(gStopRequested, 0);
    EXPECT_FALSE(Enabled(IDC_STOP_CYCLE));
    EXPECT_FALSE(Enabled(IDC_PAUSE));
    EXPECT_TRUE(Enabled(IDC_SLEEP_NOW));
    EXPECT_TRUE(Enabled(IDC_CONFIGURATION));
    EXPECT_TRUE(Enabled(IDC_ALL_SUPPORTED));
    for (int id : STATE_BOXES) EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_TRUE(IsWindow(window_));
    EXPECT_EQ(gQuitRequested, 0);
}

TEST_F(MainWindowTest, EscapeSavesTheSettingsAndEnds) {
    std::string path = SandboxFile("escape.dat");
    SetConfigText(theConfig->configFilePath, path.c_str());
    OpenWindow(true);
    Click(IDC_STATE_S3);
    theConfig->settings.cycleCount = 77;
    PostMessageA(window_, WM_KEYDOWN, VK_ESCAPE, 0);
    Pump();
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_EQ(gQuitRequested, 1);
    EXPECT_TRUE(quitSeen_);

    ConfigRecord saved;
    memset(&saved, 0, sizeof(saved));
    ASSERT_EQ(theConfig->Load(path.c_str(), &saved), 0);
    EXPECT_EQ(memcmp(&saved, &theConfig->settings, sizeof(saved)), 0);
    EXPECT_EQ(saved.cycleCount, 77);
    EXPECT_EQ(saved.useState[2], 1);
}

TEST_F(MainWindowTest, CloseBoxEndsLikeExit) {
    std::string path = SandboxFile("close.dat");
    SetConfigText(theConfig->configFilePath, path.c_str());
    OpenWindow(true);
    SendMessageA(window_, WM_CLOSE, 0, 0);
    Pump();
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_EQ(gQuitRequested, 1);
    EXPECT_EQ(GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES, true);
}

TEST_F(MainWindowTest, WheelScrollsOneLinePerNotch) {
    OpenWindow(true);
    LogLines(60);
    ASSERT_EQ(gLogFirstRow, 35);
    auto wheel = [&](int distance) {
        SendMessageA(window_, WM_MOUSEWHEEL, MAKEWPARAM(0, (WORD)(short)distance), 0);
    };
    wheel(40);
    wheel(40);
    EXPECT_EQ(gLogFirstRow, 35);
    wheel(40);  // three small movements make one notch: one line towards the oldest
    EXPECT_EQ(gLogFirstRow, 34);
    EXPECT_EQ(GetScrollPos(gLogScrollBar, SB_CTL), 34);
    EXPECT_EQ(gWheelDelta, 0);

    wheel(360);  // never more than one line per message
    EXPECT_EQ(gLogFirstRow, 33);
    EXPECT_EQ(gWheelDelta, 0);

    wheel(-119);  // less than a notch: nothing yet
    EXPECT_EQ(gLogFirstRow, 33);
    EXPECT_EQ(gWheelDelta, -119);
    wheel(-1);
    EXPECT_EQ(gLogFirstRow, 34);

    // Movements in both directions cancel out.
    wheel(100);
    wheel(-100);
    wheel(100);
    EXPECT_EQ(gLogFirstRow, 34);
    EXPECT_EQ(gWheelDelta, 100);
}
