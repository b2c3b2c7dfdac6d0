// Test data of the unit tests, read from the source tree.
#pragma once
#include <windows.h>
#include <stdio.h>
#include <string>
#include "events/events.h"

// The whole file tests/data/<folder>/<name>; "" when it cannot be read.
inline std::string ReadTestData(const std::string& folder, const std::string& name) {
    std::string path = std::string(VESPLIN_TEST_DATA_DIR) + "/" + folder + "/" + name;
    if (path[0] == '/') path = "Z:" + path;  // the source tree through Wine's root drive
    std::string text;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return text;
    for (int c; (c = fgetc(file)) != EOF;) text += (char)c;
    fclose(file);
    return text;
}

// UTF-8 text as UTF-16, the form the system renders records in.
inline std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], (int)wide.size());
    wide.resize(count > 0 ? (size_t)count : 0);
    return wide;
}

// A record written as UTF-8 XML, read as its rendering would be.
inline bool ReadRecord(const std::string& xml, EventXml* record) {
    std::wstring wide = Widen(xml);
    return ReadEventXml(wide.c_str(), wide.size(), record);
}
