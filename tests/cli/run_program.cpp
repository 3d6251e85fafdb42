#include "run_program.h"

#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

static std::string take_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    unlink(path.c_str());
    return text.str();
}

ProgramResult run_program(const std::vector<std::string> &argv, const std::string &dir)
{
    const std::string out = dir + "/stdout", err = dir + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);

    ProgramResult result;
    pid_t pid = -1;
    int wstatus = 0;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0 &&
        waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    posix_spawn_file_actions_destroy(&actions);
    result.out = take_file(out);
    result.err = take_file(err);
    return result;
}
