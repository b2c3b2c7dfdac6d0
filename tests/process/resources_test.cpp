// The resources of the shipped executable: one manifest, the version record, the icon.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "support/process_run.h"

namespace {

std::string VesplinPath() { return JoinPath(ExeDir(), "Vesplin.exe"); }

BOOL CALLBACK CountName(HMODULE, LPCSTR, LPSTR, LONG_PTR param) {
    ++*reinterpret_cast<int*>(param);
    return TRUE;
}

std::string VersionString(const std::vector<char>& block, const char* name) {
    char* value = nullptr;
    UINT length = 0;
    std::string query = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) return "";
    return std::string(value);
}

}  // namespace

TEST(Resources, ExactlyOneManifestAskingForWhatTheProgramNeeds) {
    HMODULE exe = LoadLibraryExA(VesplinPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(exe != nullptr);
    int manifests = 0;
    EnumResourceNamesA(exe, MAKEINTRESOURCEA(24), CountName, reinterpret_cast<LONG_PTR>(&manifests));
    EXPECT_EQ(1, manifests);
    HRSRC found = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_TRUE(found != nullptr);
    const char* data = static_cast<const char*>(LockResource(LoadResource(exe, found)));
    std::string manifest(data, SizeofResource(exe, found));
    for (const char* part : {"Microsoft.Windows.Common-Controls", "version=\"6.0.0.0\"",
                             "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "<dpiAware", ">true<",
                             "level=\"asInvoker\""}) {
        EXPECT_NE(std::string::npos, manifest.find(part)) << part;
    }
    // Icon 104 holds several sizes.
    HRSRC group = FindResourceA(exe, MAKEINTRESOURCEA(104), MAKEINTRESOURCEA(14));
    ASSERT_TRUE(group != nullptr);
    const WORD* header = static_cast<const WORD*>(LockResource(LoadResource(exe, group)));
    EXPECT_GE(header[2], 3);
    FreeLibrary(exe);
}

TEST(Resources, VersionRecordNamesProductVersionAndBuild) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(VesplinPath().c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(VesplinPath().c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(MAKELONG(3, 2), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(1006, 0), fixed->dwFileVersionLS);
    EXPECT_EQ("Vesplin", VersionString(block, "ProductName"));
    EXPECT_EQ("V2.3", VersionString(block, "ProductVersion"));
    EXPECT_EQ("2.3.0.1006", VersionString(block, "FileVersion"));
}
