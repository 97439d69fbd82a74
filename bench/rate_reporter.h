// Console reporter that also keeps each benchmark's items per second, so a
// program can print ratios between figures of the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace korvane {

class RateReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            const auto it = run.counters.find("items_per_second");
            if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // 0 for a benchmark that did not run or reported no rate.
    double rate(const std::string& name) const {
        const auto it = rates_.find(name);
        return it == rates_.end() ? 0.0 : it->second;
    }

  private:
    std::map<std::string, double> rates_;
};

}  // namespace korvane
