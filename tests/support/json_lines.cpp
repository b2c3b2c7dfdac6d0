#include "support/json_lines.h"

#include <gtest/gtest.h>

#include "support/process_run.h"

std::vector<nlohmann::json> ReadJsonLines(const std::string& path) {
    std::vector<nlohmann::json> records;
    std::string text;
    if (!ReadTextFile(path, &text)) {
        ADD_FAILURE() << "cannot read " << path;
        return records;
    }
    if (!text.empty() && text.back() != '\n') ADD_FAILURE() << path << " does not end with a line feed";
    int number = 0;
    for (const std::string& line : SplitLines(text)) {
        number++;
        try {
            nlohmann::json record = nlohmann::json::parse(line);
            if (!record.is_object()) {
                ADD_FAILURE() << path << " line " << number << " is not an object: " << line;
                continue;
            }
            records.push_back(record);
        } catch (const nlohmann::json::parse_error& error) {
            ADD_FAILURE() << path << " line " << number << " is not JSON (" << error.what() << "): " << line;
        }
    }
    return records;
}
