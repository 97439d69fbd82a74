#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace korvane::tool {

namespace {

constexpr int kBarWidth = 30;

}  // namespace

ProgressBar::ProgressBar(std::string label, std::uint64_t total)
    : label_(std::move(label)), total_(total), enabled_(isatty(STDERR_FILENO) == 1) {}

void ProgressBar::update(std::uint64_t done) {
    if (!enabled_ || total_ == 0) return;
    const int filled = static_cast<int>(kBarWidth * done / total_);
    const double rate = done / std::max(clock_.seconds(), 1e-9);
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%  %llu/%llu  %.0f/s ", label_.c_str(), filled,
                 "##############################", kBarWidth - filled, "",
                 static_cast<int>(100 * done / total_), static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total_), rate);
    std::fflush(stderr);
}

void ProgressBar::finish() {
    if (enabled_) std::fprintf(stderr, "\r\033[K");
}

}  // namespace korvane::tool
