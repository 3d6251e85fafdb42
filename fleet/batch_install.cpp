// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch_install.h"

#include "checks.h"
#include "report.h"

#include <cstring>
#include <thread>

namespace
{

struct Batch {
    const DiscoveredDevice *devices;
    int count;
    const char *image;
    BatchInstallOptions options;
    BatchControl *control;
    BatchResult *results;
    std::atomic<int> next{0};
    std::atomic<int> done{0};
};

// What an exchange's hooks need to know about their upload.
struct Upload {
    Batch *batch;
    int index;
};

bool upload_cancelled(void *context)
{
    const Upload *upload = static_cast<const Upload *>(context);
    return upload->batch->control->stop.load() == BATCH_ABORT;
}

void upload_progress(void *context, uint64_t sent, uint64_t total)
{
    const Upload *upload = static_cast<const Upload *>(context);
    const BatchCallbacks &callbacks = upload->batch->options.callbacks;
    callbacks.progress(callbacks.context, upload->index, sent, total);
}

// Takes the next device in order until none is left or the batch is
// stopped; the order of the array is the order uploads start.
void run_uploads(Batch *batch)
{
    const BatchCallbacks &callbacks = batch->options.callbacks;
    while (batch->control->stop.load() == BATCH_RUN) {
        const int index = batch->next.fetch_add(1);
        if (index >= batch->count)
            return;
        const DiscoveredDevice &device = batch->devices[index];
        BatchResult &result = batch->results[index];
        result.started = true;
        if (callbacks.started != nullptr)
            callbacks.started(callbacks.context, index);
        Upload upload{batch, index};
        // Uploads at once cannot share one bound port.
        ExchangeOptions options = exchange_options_for(device, 0);
        options.stall_timeout_ms = batch->options.stall_timeout_ms;
        options.connect_timeout_ms = batch->options.connect_timeout_ms;
        options.progress = callbacks.progress != nullptr ? upload_progress : nullptr;
        options.stop_requested = upload_cancelled;
        options.context = &upload;
        if (do_install_report(&device.where.addr, &device.entry.mac, batch->image, &options,
                              &result.report) == 0)
            batch->done.fetch_add(1);
        if (callbacks.finished != nullptr)
            callbacks.finished(callbacks.context, index, result.report);
    }
}

} // namespace

void batch_request_stop(BatchControl *control, BatchStop how)
{
    int current = control->stop.load();
    while (current < how && !control->stop.compare_exchange_weak(current, how)) {
    }
}

int batch_install(const DiscoveredDevice *devices, int count, const char *image,
                  const BatchInstallOptions *options, BatchControl *control, BatchResult *results)
{
    BatchInstallOptions chosen = options != nullptr ? *options : BatchInstallOptions{};
    if (chosen.parallel == 0)
        chosen.parallel = DEFAULT_PARALLEL_UPLOADS;
    if (chosen.parallel < 1 || chosen.parallel > MAX_PARALLEL_UPLOADS) {
        report_error("batch_install: %d uploads at once: from 1 to %d\n", chosen.parallel,
                     MAX_PARALLEL_UPLOADS);
        return -1;
    }
    int error = 0;
    if (const ImageProblem problem = check_image(image, &error); problem != IMAGE_OK) {
        report_error("batch_install: image '%s': %s%s%s\n", image, image_problem_text(problem),
                     error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
        return -1;
    }
    for (int i = 0; i < count; ++i)
        results[i] = BatchResult{};
    BatchControl own;
    Batch batch{devices, count, image, chosen, control != nullptr ? control : &own, results};
    std::vector<std::thread> workers;
    const int threads = count < chosen.parallel ? count : chosen.parallel;
    for (int i = 0; i < threads; ++i)
        workers.emplace_back(run_uploads, &batch);
    for (std::thread &worker : workers)
        worker.join();
    return batch.done.load();
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
