// SPDX-License-Identifier: GPL-3.0-or-later
// A one-line progress bar for the upload, redrawn in place on a terminal.
#pragma once

#include <cstdint>
#include <cstdio>

class ProgressBar
{
  public:
    explicit ProgressBar(FILE *out) : out_(out) {}
    ~ProgressBar();
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    void update(uint64_t sent, uint64_t total);
    // Fits the protocol's progress hook; context is the bar.
    static void hook(void *context, uint64_t sent, uint64_t total);

  private:
    FILE *out_;
    int shown_ = -1; // permille last drawn
};
