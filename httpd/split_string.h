#pragma once
// Cutting a text at a separator.

#include <string>
#include <vector>

// The pieces of text between occurrences of sep, in order; a separator at
// the end gives a last empty piece and an empty text one empty piece
// ("x&&y" at "&" gives "x", "", "y"). An empty sep gives the text whole.
std::vector<std::string> splitString(const std::string& text, const std::string& sep);
