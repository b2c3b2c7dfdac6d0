// Reads a results file back with a real JSON parser: one object a line.
#pragma once
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// Every line of the file parsed as JSON. A line that does not parse, or is not
// an object, is a test failure naming the line and its text.
std::vector<nlohmann::json> ReadJsonLines(const std::string& path);
