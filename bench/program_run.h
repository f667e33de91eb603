#pragma once
// Runs another program to its end, for the benches that time whole processes.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QStringList>
#include <string>
#include <vector>

extern char** environ;

struct ProgramRun {
    double wall = -1;  // seconds; -1 when the program could not start or failed
    double cpu = -1;   // user + system seconds of the program
    long peakMb = 0;   // its peak resident memory
};

// Starts `command` (looked up on the PATH) with its standard output dropped.
inline ProgramRun runProgram(const QStringList& command) {
    std::vector<std::string> args;
    for (const QString& a : command) args.push_back(a.toStdString());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    int status = 0;
    rusage usage{};
    const bool ran = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
                     wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status) &&
                     WEXITSTATUS(status) == 0;
    const double wall = clock.nsecsElapsed() / 1e9;
    posix_spawn_file_actions_destroy(&actions);
    if (!ran) return {};
    return {wall,
            usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
            usage.ru_maxrss / 1024};
}
