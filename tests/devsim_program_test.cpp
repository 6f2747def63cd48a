// The fwt-devsim program on a real pseudo-terminal, driven by a native client as Wine would.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "engine/frame.h"

namespace {

using bytes = std::vector<std::uint8_t>;
using steady = std::chrono::steady_clock;

// A started fwt-devsim. Whatever way a test leaves, failed assertions included, the process
// is killed and reaped and its pipes closed, so no simulator outlives the test.
struct child {
    pid_t pid = -1;
    int out = -1; // its standard output
    int err = -1; // its standard error

    child() = default;
    child(pid_t p, int o, int e) : pid(p), out(o), err(e) {}
    child(const child&) = delete;
    child& operator=(const child&) = delete;
    ~child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) {
            close(out);
        }
        if (err >= 0) {
            close(err);
        }
    }
};

child spawn(const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (pipe(out) != 0) {
        return {};
    }
    if (pipe(err) != 0) {
        close(out[0]);
        close(out[1]);
        return {};
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(FWT_DEVSIM_PATH));
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(err[0]);
        execv(FWT_DEVSIM_PATH, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        return {};
    }
    return child(pid, out[0], err[0]);
}

// Reads until `want` bytes, end of file or the deadline.
std::string read_for(int fd, int timeout_ms, std::size_t want = SIZE_MAX) {
    std::string text;
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    while (text.size() < want) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char c[256];
        const ssize_t n = read(fd, c, std::min(sizeof c, want - text.size()));
        if (n <= 0) {
            break;
        }
        text.append(c, static_cast<std::size_t>(n));
    }
    return text;
}

std::string read_line(int fd, int timeout_ms) {
    std::string line;
    while (line.empty() || line.back() != '\n') {
        const std::string c = read_for(fd, timeout_ms, 1);
        if (c.empty()) {
            break;
        }
        line += c;
    }
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    return line;
}

// The exit code, or -1 (after killing it) when it does not end in time. Either way the
// process is reaped and forgotten by the record.
int wait_exit(child& c, int timeout_ms) {
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    int code = -1;
    while (steady::now() < deadline) {
        if (waitpid(c.pid, &status, WNOHANG) == c.pid) {
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            c.pid = -1;
            return code;
        }
        usleep(5000);
    }
    kill(c.pid, SIGKILL);
    waitpid(c.pid, &status, 0);
    c.pid = -1;
    return code;
}

// A client's end of the terminal, closed on every way out of the test.
struct client_fd {
    int fd = -1;
    explicit client_fd(int f) : fd(f) {}
    client_fd(const client_fd&) = delete;
    client_fd& operator=(const client_fd&) = delete;
    ~client_fd() { reset(-1); }
    void reset(int f) {
        if (fd >= 0) {
            close(fd);
        }
        fd = f;
    }
};

int open_client(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd >= 0) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

bytes exchange(int fd, const bytes& request, std::size_t reply_len, int timeout_ms) {
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        return {};
    }
    const std::string got = read_for(fd, timeout_ms, reply_len);
    return bytes(got.begin(), got.end());
}

bool valid(const bytes& reply) {
    return reply_is_valid(reply.data(), static_cast<std::int32_t>(reply.size()));
}

struct temp_dir {
    std::string path;
    temp_dir() {
        char name[] = "/tmp/devsim-test-XXXXXX";
        path = mkdtemp(name) != nullptr ? name : "/tmp";
    }
    ~temp_dir() {
        unlink((path + "/image.bin").c_str());
        unlink((path + "/com7").c_str());
        rmdir(path.c_str());
    }
};

TEST(DevsimProgram, AnswersOnItsPseudoTerminalAndOutlivesItsClients) {
    temp_dir dir;
    const std::string link = dir.path + "/com7";
    const std::string image = dir.path + "/image.bin";
    child c = spawn({"--image-size", "4096", "--out", image, "--link", link});
    ASSERT_GT(c.pid, 0);
    const std::string pty = read_line(c.out, 5000);
    ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
    std::array<char, 256> target{};
    ASSERT_GT(readlink(link.c_str(), target.data(), target.size() - 1), 0);
    EXPECT_EQ(std::string(target.data()), pty);

    const bytes contact = {0x04, 0x2b, 0xf6, 0x08, 0x00, 0x40, 0x00,
                           0x00, 0x00, 0x00, 0x04, 0x42, 0x5a};
    client_fd client(open_client(link));
    int fd = client.fd;
    ASSERT_GE(fd, 0);
    const auto sent = steady::now();
    const bytes reply = exchange(fd, contact, 15, 100);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - sent);
    ASSERT_EQ(reply.size(), 15u);
    EXPECT_LT(took.count(), 100);
    EXPECT_TRUE(valid(reply));
    EXPECT_TRUE(std::equal(reply.begin(), reply.begin() + 11, contact.begin()));
    client.reset(-1);

    // A new client after the first has gone: the simulator is still there.
    client.reset(open_client(pty));
    fd = client.fd;
    ASSERT_GE(fd, 0);
    bytes data(32);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    std::array<std::uint8_t, FRAME_CAPACITY> frame{};
    const std::int32_t len = build_block_frame(frame, 4, 0x08004000, data);
    const bytes ack = exchange(fd, bytes(frame.begin(), frame.begin() + len), 11, 1000);
    ASSERT_EQ(ack.size(), 11u);
    EXPECT_TRUE(valid(ack));
    EXPECT_EQ(read_be32(ack.data() + 3), 0x08004000u);
    client.reset(-1);

    client.reset(open_client(pty));
    fd = client.fd;
    ASSERT_GE(fd, 0);
    const bytes restart = {0x04, 0x2b, 0xf7, 0x6f, 0x77};
    EXPECT_EQ(exchange(fd, restart, 5, 1000), restart);
    EXPECT_EQ(wait_exit(c, 5000), 0);
    client.reset(-1);

    const std::string summary = read_for(c.out, 1000);
    EXPECT_EQ(
        summary.rfind("restart: 1 blocks written, 32 bytes, 3 requests, 0 ignored frames, ", 0), 0u)
        << summary;
    const std::string log = read_for(c.err, 1000);
    EXPECT_NE(log.find("checksum addr 0x08004000 len 4: answered\n"), std::string::npos) << log;
    EXPECT_NE(log.find("block    addr 0x08004000 len 32: answered\n"), std::string::npos) << log;

    std::FILE* f = std::fopen(image.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    bytes saved(8192);
    saved.resize(std::fread(saved.data(), 1, saved.size(), f));
    std::fclose(f);
    ASSERT_EQ(saved.size(), 4096u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), saved.begin()));
    EXPECT_TRUE(std::all_of(saved.begin() + 32, saved.end(), [](auto b) { return b == 0xFF; }));
    EXPECT_NE(access(link.c_str(), F_OK), 0); // the link goes with the simulator
}

TEST(DevsimProgram, StopsCleanlyOnSigterm) {
    child c = spawn({});
    ASSERT_GT(c.pid, 0);
    ASSERT_FALSE(read_line(c.out, 5000).empty());
    kill(c.pid, SIGTERM);
    EXPECT_EQ(wait_exit(c, 5000), 0);
    EXPECT_EQ(read_for(c.out, 1000).rfind("stopped: 0 blocks written", 0), 0u);
}

TEST(DevsimProgram, BadOptionsGiveUsageAndExitCode2) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},       {"--drop", "sometimes"}, {"--split-pieces", "1"}, {"--image-size", "0"},
        {"--noise", "-3"}, {"--flash-ms"},          {"--keep-running=yes"},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(args[0]);
        child c = spawn(args);
        ASSERT_GT(c.pid, 0);
        EXPECT_EQ(wait_exit(c, 5000), 2);
        EXPECT_EQ(read_for(c.out, 1000), ""); // no terminal was opened
        EXPECT_NE(read_for(c.err, 1000).find("usage: fwt-devsim"), std::string::npos);
    }
}

} // namespace
