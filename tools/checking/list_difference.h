// How the update list a server gives differs from the one the studio meant to publish, told the
// way a person compares two releases: entries by path, the release number, the other lines.
#pragma once

#include <string>
#include <vector>

// One line per difference, in the form of verify's problem lines ("<what>: <how>: expected ...,
// the server's list has ..."); none when the two texts are the same bytes. `expected_name` names
// the studio's file in the lines.
void list_differences(const std::string& expected_text, const std::string& expected_name,
                      const std::string& served_text, std::vector<std::string>& differences);
