// The I/O thread that finishes the pipes' overlapped operations.
#include "named_pipe.h"

#include <cerrno>
#include <poll.h>
#include <thread>
#include <vector>

namespace winapi_internal {

namespace {

class PipeIoThread {
public:
    PipeIoThread() {
        std::thread([this] { run(); }).detach();
    }

    void watch(const std::shared_ptr<PipeEnd>& end) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            bool known = false;
            for (const Entry& entry : ends_) {
                // A dead end's address may have been reused by this one.
                known = known || (entry.end == end.get() && !entry.weak.expired());
            }
            if (!known) {
                ends_.push_back(Entry{end.get(), end});
            }
        }
        wake();
    }

    void wake() { wake_.set(); }

private:
    struct Entry {
        const PipeEnd* end;  // identity only; may be stale once `weak` has expired
        std::weak_ptr<PipeEnd> weak;
    };

    void run() {
        for (;;) {
            // Cleared before the snapshot: a watch() that comes later sets it again and ends the poll at
            // once.
            wake_.clear();
            std::vector<std::shared_ptr<PipeEnd>> live;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                for (auto it = ends_.begin(); it != ends_.end();) {
                    if (std::shared_ptr<PipeEnd> end = it->weak.lock()) {
                        live.push_back(std::move(end));
                        ++it;
                    } else {
                        it = ends_.erase(it);
                    }
                }
            }
            // Outside mutex_: an end calls watch() under its own lock, and poll_request takes that lock.
            std::vector<std::weak_ptr<PipeEnd>> ends;
            std::vector<pollfd> fds{{wake_.fd(), POLLIN, 0}};
            std::vector<size_t> owners{0};
            for (std::shared_ptr<PipeEnd>& end : live) {
                pollfd request[2];
                int count = end->poll_request(request);
                for (int k = 0; k < count; k++) {
                    fds.push_back(request[k]);
                    owners.push_back(ends.size());
                }
                ends.push_back(end);
            }
            live.clear();
            // No reference is held while polling, so closing the last handle destroys the end at once; it
            // then wakes this thread, whose poll would otherwise keep the closed sockets alive.
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
                continue;
            }
            std::vector<bool> done(ends.size(), false);
            for (size_t k = 1; k < fds.size(); k++) {
                if (!fds[k].revents || done[owners[k]]) {
                    continue;
                }
                done[owners[k]] = true;
                if (std::shared_ptr<PipeEnd> end = ends[owners[k]].lock()) {
                    end->progress();
                }
            }
        }
    }

    std::mutex mutex_;
    std::vector<Entry> ends_;  // guarded by mutex_
    EventFd wake_;
};

}  // namespace

namespace {

PipeIoThread& io_thread() {
    // Never destroyed: the thread serves until the process ends.
    static PipeIoThread* thread = new PipeIoThread();
    return *thread;
}

}  // namespace

void pipe_io_watch(const std::shared_ptr<PipeEnd>& end) {
    io_thread().watch(end);
}

void pipe_io_wake() {
    io_thread().wake();
}

}  // namespace winapi_internal
