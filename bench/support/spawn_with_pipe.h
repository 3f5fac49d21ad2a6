// Both pseudo-terminal benchmarks measure in child processes, so that one
// poller's threads, signals and descriptors never touch another's, and read
// the figures the child prints on its standard output.
#ifndef KESTRIN_BENCH_SPAWN_WITH_PIPE_H
#define KESTRIN_BENCH_SPAWN_WITH_PIPE_H

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace bench {

struct Spawned {
    pid_t pid = -1;
    int output = -1; // read end of the child's standard output
};

// Starts args[0] (searched in PATH unless it names a path) with its standard
// output into a pipe. A pid of -1 means the pipe or the process could not be
// made.
inline Spawned spawnWithPipe(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int pipeFds[2];
    if (args.empty() || pipe2(pipeFds, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    Spawned child;
    const int failed = posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (failed != 0) {
        ::close(pipeFds[0]);
        return {};
    }
    child.output = pipeFds[0];
    return child;
}

} // namespace bench

#endif
