// Comma-separated records as spreadsheets write them: a field holding a comma, a quote or
// leading / trailing spaces is quoted, and a quote inside quotes is doubled.
#pragma once

#include <string>
#include <vector>

// Splits one record (without its line break; a trailing '\r' is dropped). Returns false,
// leaving `fields` incomplete, on a quote that is not closed or is followed by more text.
bool split_csv_record(std::string line, std::vector<std::string>& fields);

// One field ready to join with commas: quoted when it has to be.
std::string csv_field(const std::string& text);
