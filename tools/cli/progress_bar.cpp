// SPDX-License-Identifier: GPL-3.0-or-later
#include "progress_bar.h"

namespace
{
constexpr int BAR_WIDTH = 40;
constexpr double MIB = 1024.0 * 1024.0;
} // namespace

ProgressBar::~ProgressBar()
{
    // Leave the cursor on a fresh line for whatever is printed next.
    if (shown_ >= 0)
        std::fputc('\n', out_);
}

void ProgressBar::update(uint64_t sent, uint64_t total)
{
    int permille = total == 0 ? 1000 : static_cast<int>(sent * 1000 / total);
    // The hook runs for every 2 KiB piece: draw only what a reader can see.
    if (permille == shown_)
        return;
    shown_ = permille;
    char bar[BAR_WIDTH + 1];
    int filled = permille * BAR_WIDTH / 1000;
    for (int i = 0; i < BAR_WIDTH; ++i)
        bar[i] = i < filled ? '#' : '-';
    bar[BAR_WIDTH] = '\0';
    std::fprintf(out_, "\r[%s] %3d.%d%%  %.1f / %.1f MiB", bar, permille / 10, permille % 10,
                 static_cast<double>(sent) / MIB, static_cast<double>(total) / MIB);
    std::fflush(out_);
}

void ProgressBar::hook(void *context, uint64_t sent, uint64_t total)
{
    static_cast<ProgressBar *>(context)->update(sent, total);
}
