// A helper program of the tests run as a second process, its standard output piped back to the test.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace test_support {

// Killed and reaped when the object goes, whatever the test's outcome.
class ChildProgram {
public:
    // program: the file name of a program built next to the test programs.
    ChildProgram(const std::string& program, std::vector<std::string> args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        std::string path = std::string(KTW_TEST_BINARY_DIR) + "/" + program;
        args.insert(args.begin(), path);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_ = out[0];
    }
    ~ChildProgram() {
        stop();
        if (out_ >= 0) {
            ::close(out_);
        }
    }
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    pid_t pid() const { return pid_; }

    // Reads the next output line into line (without its '\n'); false when the line did not end within 10 s or
    // before the output closed (line then holds what came).
    bool read_line(std::string& line) {
        line.clear();
        char c;
        pollfd ready{out_, POLLIN, 0};
        while (::poll(&ready, 1, 10000) == 1 && ::read(out_, &c, 1) == 1) {
            if (c == '\n') {
                return true;
            }
            line += c;
        }
        return false;
    }

    // The exit status, waiting at most 5 s; -1 when it did not end.
    int wait_exit() {
        for (int i = 0; i < 500 && pid_ > 0; ++i) {
            int status;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

}  // namespace test_support
