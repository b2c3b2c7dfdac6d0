// Test data of the unit tests, read from the source tree.
#pragma once
#include <stdio.h>
#include <string>

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
