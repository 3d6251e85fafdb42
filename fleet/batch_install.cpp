// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch_install.h"

void batch_request_stop(BatchControl *control, BatchStop how)
{
    int current = control->stop.load();
    while (current < how && !control->stop.compare_exchange_weak(current, how)) {
    }
}

int batch_install(const DiscoveredDevice *, int, const char *, const BatchInstallOptions *,
                  BatchControl *, BatchResult *)
{
    return -1;
}

int batch_failed_devices(const DiscoveredDevice *devices, const BatchResult *results, int count,
                         std::vector<DiscoveredDevice> *out)
{
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        if (results[i].started && results[i].report.stage == STAGE_DONE)
            continue;
        out->push_back(devices[i]);
        ++failed;
    }
    return failed;
}
