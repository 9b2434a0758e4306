#include "ser2net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char **environ;

namespace testser2net
{
namespace
{

// ser2net lives in /usr/sbin, which a plain user's PATH may lack.
std::string program()
{
    for (const char *p : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
        if (access(p, X_OK) == 0)
            return p;
    return "";
}

// A loopback port nothing uses now (the kernel's choice for a bind to 0).
int free_port()
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

// Whether process pid listens on 127.0.0.1:port, from /proc/net/tcp and the
// process's descriptors: a test connection would make ser2net open the
// device, and another test's server may have taken the same port.
bool listening(pid_t pid, int port)
{
    std::ifstream in("/proc/net/tcp");
    char want[32];
    snprintf(want, sizeof want, "0100007F:%04X", port);
    std::string line;
    std::string inode;
    while (std::getline(in, line) && inode.empty()) {
        std::istringstream words(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        words >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (local != want || state != "0A")
            inode.clear();
    }
    if (inode.empty())
        return false;
    const std::string socket = "socket:[" + inode + "]";
    for (int fd = 0; fd < 64; ++fd) {
        char link[64];
        const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
        if (n > 0 && socket == std::string(link, static_cast<size_t>(n)))
            return true;
    }
    return false;
}

} // namespace

std::string missing()
{
    return program().empty() ? "ser2net is not installed (scripts/install-deps installs it)" : "";
}

std::string config(const std::string &device, int port, Settings settings)
{
    const std::string where = "127.0.0.1," + std::to_string(port);
    std::string y = "%YAML 1.1\n---\nconnection: &kestrel\n";
    if (settings == Settings::Fast) {
        y += "    accepter: telnet(rfc2217),tcp(nodelay)," + where +
             "\n"
             "    enable: on\n"
             "    options:\n"
             "      kickolduser: false\n"
             "      chardelay: false\n"
             "      max-connections: 1\n";
    } else {
        y += "    accepter: telnet(rfc2217),tcp," + where +
             "\n"
             "    enable: on\n";
    }
    y += "    connector: serialdev," + device + ",9600n81,local\n";
    return y;
}

bool Server::start(const std::string &device, const std::string &dir, Settings settings)
{
    // A port that another program took between the look and ser2net's bind
    // costs a second try on another.
    for (int attempt = 0; attempt < 3; ++attempt)
        if (start_once(device, dir, settings))
            return true;
    return false;
}

bool Server::start_once(const std::string &device, const std::string &dir, Settings settings)
{
    const std::string ser2net = program();
    port_ = free_port();
    if (ser2net.empty() || port_ == 0)
        return false;
    const std::string yaml = dir + "/ser2net.yaml";
    std::ofstream(yaml) << config(device, port_, settings);
    log_path_ = dir + "/ser2net.log";

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    // -n: stays in the foreground, so that the pid is ser2net's own; -u: no
    // UUCP lock files for the pseudo-terminal.
    std::vector<std::string> args = {ser2net, "-n", "-u", "-c", yaml, "-P", dir + "/ser2net.pid"};
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, ser2net.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        pid_ = -1;
        return false;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(5000 * TEST_TIME_SCALE);
    while (std::chrono::steady_clock::now() < deadline) {
        if (listening(pid_, port_))
            return true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop(SIGKILL);
    return false;
}

std::string Server::url(const std::string &rate) const
{
    std::string u = "rfc2217://127.0.0.1:" + std::to_string(port_);
    if (!rate.empty())
        u += ":" + rate;
    return u;
}

void Server::stop(int signo)
{
    if (pid_ <= 0)
        return;
    kill(pid_, signo);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string Server::log() const
{
    std::ifstream in(log_path_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace testser2net
