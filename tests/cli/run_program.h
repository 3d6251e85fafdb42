// Runs a program to its end with its output captured.
#pragma once

#include <string>
#include <vector>

struct ProgramResult {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

// argv[0] is the program's path; dir takes the output files meanwhile.
ProgramResult run_program(const std::vector<std::string> &argv, const std::string &dir);
