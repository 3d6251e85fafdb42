// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the fuzz target over the files named on the command line, so that an
// ordinary build replays the checked-in corpus as a test.
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size);

int main(int argc, char **argv)
{
    // The decoder reports every fault it meets; only a crash matters here.
    if (std::freopen("/dev/null", "w", stderr) == nullptr)
        return 1;
    for (int i = 1; i < argc; ++i) {
        FILE *file = std::fopen(argv[i], "rb");
        if (file == nullptr) {
            std::printf("cannot open %s\n", argv[i]);
            return 1;
        }
        std::vector<unsigned char> data;
        int c;
        while ((c = std::fgetc(file)) != EOF)
            data.push_back(static_cast<unsigned char>(c));
        std::fclose(file);
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("replayed %d inputs\n", argc - 1);
    return 0;
}
