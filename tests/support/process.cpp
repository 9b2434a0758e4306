#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>

extern char **environ;

namespace testproc
{

std::vector<std::string> target_command(const std::string &path)
{
    std::vector<std::string> words;
    std::string_view emulator = TARGET_EMULATOR;
    while (!emulator.empty()) {
        const size_t end = std::min(emulator.find(' '), emulator.size());
        if (end > 0)
            words.emplace_back(emulator.substr(0, end));
        emulator.remove_prefix(std::min(end + 1, emulator.size()));
    }
    words.push_back(path);
    return words;
}

Result run(const std::string &path, const std::vector<std::string> &args, int timeout_ms,
           const Watch &watch)
{
    Result res;
    int outp[2], errp[2];
    if (pipe2(outp, O_CLOEXEC) != 0 || pipe2(errp, O_CLOEXEC) != 0)
        return res;

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, outp[1], 1);
    posix_spawn_file_actions_adddup2(&fa, errp[1], 2);

    std::vector<std::string> all{path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int rc = posix_spawn(&pid, path.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(outp[1]);
    close(errp[1]);
    if (rc != 0) {
        close(outp[0]);
        close(errp[0]);
        return res;
    }

    auto deadline = t0 + std::chrono::milliseconds(timeout_ms);
    pollfd fds[2] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}};
    std::string *sinks[2] = {&res.out, &res.err};
    int open_fds = 2;
    while (open_fds > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            res.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (watch)
            left = std::min<long long>(left, 20);
        if (poll(fds, 2, static_cast<int>(left)) < 0)
            break;
        if (watch)
            watch(pid);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (pollfd &p : fds)
        if (p.fd >= 0)
            close(p.fd);

    int wst = 0;
    waitpid(pid, &wst, 0);
    res.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (WIFEXITED(wst))
        res.status = WEXITSTATUS(wst);
    else if (WIFSIGNALED(wst))
        res.signal = WTERMSIG(wst);
    return res;
}

Result kestrel(const std::vector<std::string> &args, int timeout_ms, const Watch &watch)
{
    std::vector<std::string> words = target_command(KESTREL_BIN);
    words.insert(words.end(), args.begin(), args.end());
    return run(words[0], {words.begin() + 1, words.end()}, timeout_ms, watch);
}

} // namespace testproc
