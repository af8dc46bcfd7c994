// What became of the statistics file at the end of a run, in one line for the
// operator: its path, or why there is none.
#pragma once

#include <string>

class COrvane;

// After the core's WriteStatistics: "statistics file written: PATH", or
// "no statistics file: " and the reason.
std::string DescribeStatistics(const COrvane& core);
