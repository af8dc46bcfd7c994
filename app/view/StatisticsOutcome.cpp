// The operator's one line on the run's statistics file: its path, or why no file was written.
#include "app/view/StatisticsOutcome.h"

#include "app/view/StatusTable.h"
#include "core/Monitor.h"

std::string DescribeStatistics(const COrvane& core) {
    if (!core.StatisticsPath().empty()) {
        return "statistics file written: " + core.StatisticsPath();
    }
    if (core.SamplesTaken() == 0) {
        if (core.GetLogInterval() == 0) {
            return "no statistics file: the log sampling interval is 0, so no samples were taken";
        }
        return "no statistics file: no sample was taken (the log sampling interval is " +
               FormatPeriod(core.GetLogInterval()) + " s)";
    }
    return "no statistics file: " + core.StatisticsProblem();
}
